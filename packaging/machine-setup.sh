#!/bin/sh
# Sets a machine up for an installed qzConsole, or takes that set-up away again. The Debian
# package's maintainer scripts run it; after a plain `cmake --install`, an administrator runs
# it by hand (docs/install.md).
#
#   machine-setup install   the service account "orvane", the variable-data folders (below
#                           @QZ_FULL_STATE_DIR@, the build cache's data included) and the log folder,
#                           the default machine settings (what is already set stays)
#   machine-setup purge     removes the product's machine settings, its data and log folders
#                           and the service account
#   machine-setup start     where systemd does not run (containers): starts the agent service
#                           and the build cache service under the project's own supervision
#                           (what is running already stays); the package runs it, and a
#                           container's entry point runs it after every start of the machine
#   machine-setup stop      stops both services again
#
# The locations are filled in when the project is configured (cmake/Install.cmake).
set -e

AGENT_FOLDER="@QZ_FULL_AGENT_DIR@"
STATE_FOLDER="@QZ_FULL_STATE_DIR@"
LOG_FOLDER="@QZ_FULL_LOG_DIR@"
QZREG="@QZ_FULL_BINDIR@/qzreg"
AGENT="@QZ_FULL_SBINDIR@/qzagentd"
AGENT_ENVIRONMENT="@QZ_AGENT_ENVIRONMENT_FILE@"
CACHE="@QZ_FULL_SBINDIR@/qzbuildcached"
CACHE_PID_FILE="$STATE_FOLDER/qzbuildcached.pid"
CACHE_KEY='SOFTWARE\Tamrel\Services\orvane-buildcache'
REGISTRY_FOLDER="${TamrelRegistryRoot:-/etc/tamrel/registry}"
ACCOUNT=orvane

reg() {
    TamrelRegistryRoot="$REGISTRY_FOLDER" "$QZREG" "$@"
}

create_account() {
    if getent passwd "$ACCOUNT" >/dev/null; then
        return 0
    fi
    if command -v adduser >/dev/null 2>&1; then
        adduser --quiet --system --group --no-create-home --home "$STATE_FOLDER" \
            --gecos "Orvane build services" "$ACCOUNT"
    else
        groupadd --system "$ACCOUNT" 2>/dev/null || true
        useradd --system --gid "$ACCOUNT" --no-create-home --home-dir "$STATE_FOLDER" \
            --shell /usr/sbin/nologin "$ACCOUNT"
    fi
}

# folder OWNER:GROUP MODE: creates it when missing and sets owner and mode either way.
folder() {
    mkdir -p "$1"
    chown "$2" "$1"
    chmod "$3" "$1"
}

install_machine() {
    create_account
    folder "$STATE_FOLDER" root:root 0755
    # Every builder's console writes its command files into Temp/ and its Tasksmith writes the
    # monitor data below History/: members of the group "orvane" may write, each user's files
    # stay their own (sticky), new folders keep the group (setgid).
    folder "$STATE_FOLDER/Temp" root:"$ACCOUNT" 3775
    folder "$STATE_FOLDER/History" root:"$ACCOUNT" 3775
    folder "$STATE_FOLDER/History/Local" root:"$ACCOUNT" 3775
    # Root's and the service account's diagnostic logs; users log into their state folders.
    folder "$LOG_FOLDER" "$ACCOUNT":adm 2755
    folder "$STATE_FOLDER/BuildCache" "$ACCOUNT:$ACCOUNT" 0750
    # The pid file of the build cache service under the own supervision: the service runs as
    # the account and locks it; everybody may read it to ask whether the service runs.
    if [ ! -e "$CACHE_PID_FILE" ]; then
        : >"$CACHE_PID_FILE"
    fi
    chown "$ACCOUNT:$ACCOUNT" "$CACHE_PID_FILE"
    chmod 0644 "$CACHE_PID_FILE"
    # The machine settings: the agent folder, and an empty log key (an installed machine is
    # configured: nothing to report about missing log settings). Values already there stay.
    mkdir -p "$REGISTRY_FOLDER"
    chmod 0755 "$REGISTRY_FOLDER"
    builder='SOFTWARE\Tamrel\Orvane\Builder'
    if ! reg get HKLM "$builder" Folder >/dev/null 2>&1; then
        reg set HKLM "$builder" Folder "$AGENT_FOLDER"
    fi
    if ! reg get HKLM 'SOFTWARE\Tamrel\Orvane\Log' Level >/dev/null 2>&1; then
        reg set HKLM 'SOFTWARE\Tamrel\Orvane\Log' Level 0 dword
    fi
    chmod 0644 "$REGISTRY_FOLDER/HKLM.reg"
}

# Drops the product's sections ([SOFTWARE\Tamrel\Orvane...] and the supervision entries of its
# services) from the machine settings; the file goes when no section is left. Written without
# qzreg: a purge runs after the programs were removed.
purge_settings() {
    store="$REGISTRY_FOLDER/HKLM.reg"
    [ -f "$store" ] || return 0
    kept="$store.purge.$$"
    awk '
        /^[ \t]*\[/ {
            key = tolower($0)
            drop = index(key, "[software\\tamrel\\orvane]") || index(key, "[software\\tamrel\\orvane\\") ||
                   index(key, "[software\\tamrel\\services\\orvane-")
            if (!drop) sections++
        }
        !drop { print }
        END { exit sections ? 0 : 3 }
    ' "$store" >"$kept" && status=0 || status=$?
    if [ "$status" -eq 0 ]; then
        chmod 0644 "$kept"
        mv "$kept" "$store"
    elif [ "$status" -eq 3 ]; then
        rm -f "$kept" "$store"
        rmdir "$REGISTRY_FOLDER" 2>/dev/null || true
        rmdir "$(dirname "$REGISTRY_FOLDER")" 2>/dev/null || true
    else
        rm -f "$kept"
        return "$status"
    fi
}

purge_machine() {
    purge_settings
    rm -rf "$STATE_FOLDER" "$LOG_FOLDER"
    if getent passwd "$ACCOUNT" >/dev/null; then
        if command -v deluser >/dev/null 2>&1; then
            deluser --quiet --system "$ACCOUNT" >/dev/null || true
        else
            userdel "$ACCOUNT" || true
        fi
    fi
    if getent group "$ACCOUNT" >/dev/null; then
        groupdel "$ACCOUNT" 2>/dev/null || true
    fi
}

# The pid of the running build cache service: the first line of its pid file, when that process
# is the installed program (a pid the kernel gave to another process since does not count).
cache_pid() {
    [ -r "$CACHE_PID_FILE" ] || return 1
    pid=$(head -n 1 "$CACHE_PID_FILE")
    case "$pid" in
    '' | *[!0-9]*) return 1 ;;
    esac
    case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
    "$CACHE" | "$CACHE (deleted)") echo "$pid" ;;
    *) return 1 ;;
    esac
}

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_for() {
    tries=0
    until eval "$1"; do
        tries=$((tries + 1))
        [ "$tries" -lt "$2" ] || return 1
        sleep 0.1
    done
}

cache_serves() {
    pid=$(cache_pid) && [ "$(sed -n 2p "$CACHE_PID_FILE")" = "" ] && [ -n "$pid" ]
}

# Registers the build cache service with the own supervision (the key the agent and the console
# ask before systemd): the agent stops and starts it through this entry (qzConsole
# /CLEARBUILDCACHE).
register_cache_service() {
    reg set HKLM "$CACHE_KEY" PidFile "$CACHE_PID_FILE" >/dev/null
    reg set HKLM "$CACHE_KEY" Start "setpriv --reuid=$ACCOUNT --regid=$ACCOUNT --init-groups \
$CACHE --pid-file $CACHE_PID_FILE" >/dev/null
}

unregister_cache_service() {
    if reg get HKLM "$CACHE_KEY" PidFile >/dev/null 2>&1; then
        reg delete HKLM "$CACHE_KEY" >/dev/null
    fi
}

start_services() {
    if [ -d /run/systemd/system ]; then
        echo "machine-setup: systemd runs here: systemctl start qzagentd orvane-buildcache" >&2
        return 2
    fi
    status=0
    (
        set -a
        [ ! -r "$AGENT_ENVIRONMENT" ] || . "$AGENT_ENVIRONMENT"
        "$AGENT" --background >/dev/null
    ) || status=$?
    if [ -x "$CACHE" ]; then
        register_cache_service
        if ! cache_pid >/dev/null; then
            # As the agent starts it: "exec " and the command, in a session of its own.
            setsid -f /bin/sh -c "exec $(reg get HKLM "$CACHE_KEY" Start)" </dev/null >/dev/null 2>&1
        fi
        if ! wait_for cache_serves 300; then
            echo "machine-setup: the build cache service did not start (see $LOG_FOLDER)" >&2
            status=1
        fi
    fi
    return "$status"
}

stop_services() {
    status=0
    if pid=$(cache_pid); then
        kill -TERM "$pid" 2>/dev/null || true
        if ! wait_for "[ ! -d /proc/$pid ]" 300; then
            echo "machine-setup: the build cache service (pid $pid) does not stop" >&2
            status=1
        fi
    fi
    if [ -x "$AGENT" ]; then
        "$AGENT" --stop >/dev/null 2>&1 || true
    fi
    return "$status"
}

machine_setup() {
    case "$1" in
    install) install_machine ;;
    purge) purge_machine ;;
    start) start_services ;;
    stop) stop_services ;;
    *)
        echo "usage: machine-setup install | purge | start | stop" >&2
        return 2
        ;;
    esac
}
