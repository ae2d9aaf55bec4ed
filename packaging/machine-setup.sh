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
#
# The locations are filled in when the project is configured (cmake/Install.cmake).
set -e

AGENT_FOLDER="@QZ_FULL_AGENT_DIR@"
STATE_FOLDER="@QZ_FULL_STATE_DIR@"
LOG_FOLDER="@QZ_FULL_LOG_DIR@"
QZREG="@QZ_FULL_BINDIR@/qzreg"
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

machine_setup() {
    case "$1" in
    install) install_machine ;;
    purge) purge_machine ;;
    *)
        echo "usage: machine-setup install | purge" >&2
        return 2
        ;;
    esac
}
