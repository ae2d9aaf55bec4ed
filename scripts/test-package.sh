#!/bin/sh
# Package round trip: builds the Debian package, checks it with lintian, installs it on this
# machine with apt, runs the installed programs (the agent status, the sample build, a normal
# user's and root's runs on a machine without log settings, the agent service and the build
# cache service under systemd or, without it, under the project's own supervision), removes it,
# purges it and checks that nothing is left (.ci/run runs it after the test suite). Run it as root on a machine you may change (a CI machine or a
# container): it refuses when the package is already installed, and it undoes its install.
#   scripts/test-package.sh [BUILD_DIR]     (default build/package)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${1:-build/package}
PACKAGE=orvane
REGISTRY=/etc/tamrel/registry/HKLM.reg

fail() {
    echo "test-package: FAILED: $*" >&2
    exit 1
}
step() {
    echo "== $*"
}
# The pids of the running processes of the program (by its executable, not by its name: test
# suites run copies from build trees).
running() {
    for pid in $(pgrep -x "$(basename "$1")" || true); do
        case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
        "$1" | "$1 (deleted)") echo "$pid" ;;
        esac
    done
}
# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
    deadline=$(($(date +%s) + $2))
    until eval "$1"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
# The build cache service under the own supervision: its process (as the service account)
# holds the pid file and serves.
CACHE_PID_FILE=/var/lib/orvane/qzbuildcached.pid
cache_serves() {
    pid=$(running /usr/sbin/qzbuildcached)
    [ -n "$pid" ] && [ "$(head -n 1 "$CACHE_PID_FILE")" = "$pid" ] &&
        [ -z "$(sed -n 2p "$CACHE_PID_FILE")" ] && [ "$(ps -o user= -p "$pid")" = orvane ]
}

[ "$(id -u)" -eq 0 ] || fail "run it as root (it installs and removes the package)"
if dpkg-query -W -f='${Status}' "$PACKAGE" 2>/dev/null | grep -q 'ok installed'; then
    fail "$PACKAGE is installed already; this test would replace it (apt-get purge $PACKAGE first)"
fi
for tool in lintian apt-get setpriv; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

WORK=$(mktemp -d)
chmod 0755 "$WORK"
installed=no
cleanup() {
    if [ "$installed" = yes ]; then
        echo "test-package: undoing the install" >&2
        apt-get purge -y -q "$PACKAGE" >/dev/null 2>&1 || true
    fi
    rm -f "$REGISTRY"
    if [ -f "$WORK/registry.before" ]; then
        mv "$WORK/registry.before" "$REGISTRY"
    else
        rmdir "$(dirname "$REGISTRY")" /etc/tamrel 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
# A signal ends the script, and the end runs the clean-up (once).
trap 'exit 1' INT TERM HUP

# What the file system holds outside the volatile and package-manager folders.
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /var/tmp -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg \
        -o -path /var/log -o -path /root -o -path /home -o -path /work -o -path "$ROOT" \
        -o -path /var/lib/systemd/deb-systemd-helper-enabled \
        -o -path /var/lib/systemd/deb-systemd-helper-masked \) -prune -o -print 2>/dev/null |
        sort
}

step "building the package in $BUILD"
started=$(date +%s)
launcher=""
if command -v ccache >/dev/null; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086 # $launcher is empty or two words
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr $launcher >"$WORK/configure.log" 2>&1 || {
    cat "$WORK/configure.log"
    fail "configure"
}
cmake --build "$BUILD" --target package -j "$(nproc)" >"$WORK/build.log" 2>&1 || {
    tail -40 "$WORK/build.log"
    fail "build"
}
DEB=$(ls -t "$BUILD"/${PACKAGE}_*.deb | head -1)
echo "package: $DEB ($(($(date +%s) - started)) s)"

step "lintian"
status=0
lintian --fail-on error "$DEB" >"$WORK/lintian.log" 2>&1 || status=$?
grep -v 'running with root privileges' "$WORK/lintian.log" || true
[ "$status" -eq 0 ] || fail "lintian reports errors"

# The machine's settings are set aside for the test and put back at the end; the test's store
# holds a key of another product, which the purge must keep.
if [ -f "$REGISTRY" ]; then
    mv "$REGISTRY" "$WORK/registry.before"
fi
mkdir -p "$(dirname "$REGISTRY")"
printf '[SOFTWARE\\Tamrel\\Other]\n"Kept"="1"\n' >"$REGISTRY"
snapshot >"$WORK/before"

step "apt install ./$(basename "$DEB")"
installed=yes
apt-get install -y -q "$(cd "$(dirname "$DEB")" && pwd)/$(basename "$DEB")" >"$WORK/apt.log" 2>&1 || {
    cat "$WORK/apt.log"
    fail "apt install"
}

step "the installed layout"
for path in /usr/bin/qzConsole /usr/bin/qzdump /usr/bin/qzreg /usr/sbin/qzagentd \
    /usr/sbin/qzbuildcached /lib/systemd/system/orvane-buildcache.service \
    /usr/lib/orvane/Tasksmith /usr/lib/orvane/libqzcachehttp.so /usr/lib/orvane/qzrelay \
    /usr/lib/orvane/libqzintercept.so \
    /usr/lib/orvane/machine-setup \
    /usr/lib/orvane/resources/buildcache_service_config.json /lib/systemd/system/qzagentd.service \
    /etc/default/qzagentd /usr/share/doc/$PACKAGE/copyright /usr/share/man/man1/qzConsole.1.gz \
    /usr/share/man/man8/qzagentd.8.gz /usr/share/man/man8/qzbuildcached.8.gz; do
    [ -e "$path" ] || fail "$path is missing"
done
[ "$(readlink /usr/lib/orvane/History)" = /var/lib/orvane/History ] || fail "History link"
# Started for every caught tool run: a static program, which starts without the dynamic loader.
! readelf -l /usr/lib/orvane/qzrelay | grep -q 'INTERP' || fail "qzrelay needs the dynamic loader"
getent passwd orvane >/dev/null || fail "no service account orvane"
[ "$(stat -c '%U:%G %a' /var/lib/orvane/Temp)" = "root:orvane 3775" ] || fail "Temp: $(stat -c '%U:%G %a' /var/lib/orvane/Temp)"
[ "$(stat -c '%U:%G %a' /var/lib/orvane/BuildCache)" = "orvane:orvane 750" ] || fail "BuildCache owner or mode"
[ "$(qzreg get HKLM 'SOFTWARE\Tamrel\Orvane\Builder' Folder)" = /usr/lib/orvane ] || fail "the agent folder setting"
grep -qx 'ExecStart=/usr/sbin/qzagentd --foreground' /lib/systemd/system/qzagentd.service ||
    fail "qzagentd.service does not start the installed agent"
unit=/lib/systemd/system/orvane-buildcache.service
grep -qx 'ExecStart=/usr/sbin/qzbuildcached' $unit && grep -qx 'User=orvane' $unit &&
    grep -qx 'Type=notify' $unit || fail "$unit: $(cat $unit)"
config=/usr/lib/orvane/resources/buildcache_service_config.json
[ "$(grep -c '"/var/lib/orvane/BuildCache"' $config)" -eq 2 ] ||
    fail "$config does not keep the cache's data in /var/lib/orvane/BuildCache"
[ "$(stat -c '%U:%G %a' $CACHE_PID_FILE)" = "orvane:orvane 644" ] || fail "$CACHE_PID_FILE owner or mode"
MANWIDTH=120 man qzConsole 2>/dev/null | grep -q 'QUERYAGENTSTATUS' || fail "man qzConsole"
sh tests/man/usage-switches.sh /usr/bin/qzConsole /usr/share/man/man1/qzConsole.1.gz >/dev/null ||
    fail "man qzConsole lacks switches of the usage text"

step "the agent service and the build cache service"
CACHE_KEY='SOFTWARE\Tamrel\Services\orvane-buildcache'
if [ -d /run/systemd/system ]; then
    for unit in qzagentd orvane-buildcache; do
        systemctl is-active --quiet $unit || fail "$unit.service is not active"
        systemctl is-enabled --quiet $unit || fail "$unit.service is not enabled"
    done
    ! qzreg get HKLM "$CACHE_KEY" PidFile >/dev/null 2>&1 ||
        fail "the cache service is registered for the own supervision under systemd"
else
    echo "(no systemd on this machine: both run under the project's own supervision)"
    agent=$(running /usr/sbin/qzagentd)
    [ "$(echo "$agent" | wc -w)" -eq 1 ] || fail "not one installed agent service runs: '$agent'"
    [ "$(ps -o user= -p "$agent")" = root ] || fail "the agent service does not run as root"
    [ "$(qzreg get HKLM "$CACHE_KEY" PidFile)" = $CACHE_PID_FILE ] ||
        fail "the cache service is not registered for the own supervision"
    qzreg get HKLM "$CACHE_KEY" Start | grep -q /usr/sbin/qzbuildcached || fail "its Start command"
    wait_for cache_serves 30 || fail "the build cache service does not run: $(cat $CACHE_PID_FILE)"
    cache=$(running /usr/sbin/qzbuildcached)
    [ "$(stat -c %U /var/lib/orvane/BuildCache/redis.sock 2>/dev/null)" = orvane ] ||
        fail "the cache's index (redis) does not run as orvane in its data folder"
    # The agent stops and starts it through the own supervision to clean the cache.
    qzConsole /NOLOGO /CLEARBUILDCACHE >"$WORK/clear.log" 2>&1 || {
        cat "$WORK/clear.log"
        fail "qzConsole /CLEARBUILDCACHE"
    }
    grep -q 'Build cache cleaned' "$WORK/clear.log" || fail "clear: $(cat "$WORK/clear.log")"
    wait_for 'cache_serves && [ "$(running /usr/sbin/qzbuildcached)" != "$cache" ]' 30 ||
        fail "the cache service was not started again after the clean"
    # machine-setup stop and start (a container's entry point) stop and start both.
    /usr/lib/orvane/machine-setup stop || fail "machine-setup stop"
    [ -z "$(running /usr/sbin/qzagentd)$(running /usr/sbin/qzbuildcached)" ] ||
        fail "machine-setup stop left a service running"
    /usr/lib/orvane/machine-setup start || fail "machine-setup start"
    wait_for cache_serves 30 || fail "machine-setup start: the cache service does not run"
fi
qzagentd --status >/dev/null || fail "the agent service does not run"

step "qzConsole /QUERYAGENTSTATUS"
qzConsole /QUERYAGENTSTATUS | tee "$WORK/status" | tr -d '\r'
grep -q 'Agent Services Status: OK' "$WORK/status" || fail "the agent status is not OK"

step "the sample build (examples/stats) with the installed programs"
cp -R examples/stats "$WORK/stats"
(cd "$WORK/stats" && qzConsole /NOLOGO job.xml >"$WORK/build-run.log" 2>&1) || {
    cat "$WORK/build-run.log"
    fail "the sample build"
}
"$WORK/stats/build/stats" 3 1 4 1 5 9 2 6 || fail "the built program"
ls /var/lib/orvane/History/Local/*/*.nv_mon >/dev/null 2>&1 || fail "no monitor data file"

step "the sample build through make, its compiles caught by the installed interception"
rm -rf "$WORK/stats/build"
(cd "$WORK/stats" && qzConsole /NOLOGO "/MON=$WORK/make.nv_mon" "/COMMAND=make -j2" \
    >"$WORK/make-run.log" 2>&1) || {
    cat "$WORK/make-run.log"
    fail "the sample build through make"
}
"$WORK/stats/build/stats" 3 1 4 1 5 9 2 6 || fail "the program built through make"
caught=$(qzdump monitor "$WORK/make.nv_mon" 2>/dev/null | grep -c 'tool-' || true)
[ "$caught" -eq 13 ] || fail "$caught of the 13 compiles recorded as caught tool runs"

step "no log settings: root's and a user's runs keep the program folders clean"
qzreg delete HKLM 'SOFTWARE\Tamrel\Orvane\Log' >/dev/null
qzConsole /STOP >/dev/null 2>&1 || true # raises inside: writes the diagnostic log
mkdir -p "$WORK/home"
chown nobody "$WORK/home"
# The root agent answers the users listed in TamrelObjectOwners of /etc/default/qzagentd; the
# console of a user it does not answer says so at once (instead of waiting for the reply).
status=0
timeout 60 setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$WORK/home" \
    qzConsole /NOLOGO /QUERYAGENTSTATUS >"$WORK/refused.log" 2>&1 || status=$?
grep -q 'does not answer the requests of this user' "$WORK/refused.log" && [ "$status" -eq 3 ] || {
    cat "$WORK/refused.log"
    fail "a user the agent does not answer (exit code $status; 124: timed out)"
}
echo "TamrelObjectOwners=$(id -u nobody)" >>/etc/default/qzagentd
if [ -d /run/systemd/system ]; then
    systemctl restart qzagentd
else
    qzagentd --stop >/dev/null
    /usr/lib/orvane/machine-setup start || fail "machine-setup start"
fi
timeout 60 setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$WORK/home" \
    qzConsole /QUERYAGENTSTATUS >"$WORK/user.log" 2>&1 || true
grep -q 'Agent Services Status: OK' "$WORK/user.log" || {
    cat "$WORK/user.log"
    fail "a normal user's status query"
}
# A builder (in the group orvane) runs the sample build; root's build made today's History
# folder, which the group may write into.
as_builder() {
    timeout 300 setpriv --reuid=nobody --regid=nogroup --groups=orvane env HOME="$WORK/home" "$@"
}
cp -R examples/stats "$WORK/ustats"
chown -R nobody "$WORK/ustats"
(cd "$WORK/ustats" && as_builder qzConsole /NOLOGO job.xml >"$WORK/ubuild.log" 2>&1) || {
    cat "$WORK/ubuild.log"
    fail "a normal user's sample build"
}
as_builder "$WORK/ustats/build/stats" 2 7 1 8 >/dev/null || fail "the user's built program"
[ "$(find /var/lib/orvane/History/Local -name '*.nv_mon' -user nobody | wc -l)" -eq 1 ] ||
    fail "no monitor data file of the user's build"
timeout 30 setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$WORK/home" \
    qzConsole /? >/dev/null 2>&1 || true
timeout 30 setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$WORK/home" \
    qzdump packet /nonexistent >/dev/null 2>&1 || true
leftovers=$(find /usr/bin /usr/sbin /usr/lib/orvane -newer "$DEB" -name 'Logs' 2>/dev/null; \
    find /usr/bin /usr/sbin /usr/lib/orvane/ -maxdepth 1 -name 'Logs' 2>/dev/null)
[ -z "$leftovers" ] || fail "a program folder got a log: $leftovers"
changed=$(dpkg --verify "$PACKAGE" | grep -v ' c /etc/default/qzagentd$' || true)
[ -z "$changed" ] || fail "installed files changed: $changed"
[ -f /var/log/orvane/qzConsole.log ] && echo "root's log: /var/log/orvane/qzConsole.log"
if [ -d "$WORK/home/.local/state/orvane/log" ]; then
    echo "the user's log: ~/.local/state/orvane/log ($(ls "$WORK/home/.local/state/orvane/log"))"
fi

step "apt remove"
apt-get remove -y -q "$PACKAGE" >"$WORK/apt.log" 2>&1 || {
    cat "$WORK/apt.log"
    fail "apt remove"
}
[ ! -e /usr/bin/qzConsole ] || fail "qzConsole is still there after remove"
[ -z "$(running /usr/sbin/qzagentd)" ] || fail "the agent still runs after remove"
[ -z "$(running /usr/sbin/qzbuildcached)" ] || fail "the cache service still runs after remove"
! pgrep -u orvane >/dev/null || fail "processes of orvane run after remove: $(pgrep -a -u orvane)"
[ -d /var/lib/orvane ] || fail "remove took the data (only purge may)"
grep -q 'Orvane' "$REGISTRY" || fail "remove took the settings (only purge may)"

step "apt purge"
apt-get purge -y -q "$PACKAGE" >"$WORK/apt.log" 2>&1 || {
    cat "$WORK/apt.log"
    fail "apt purge"
}
installed=no
for path in /var/lib/orvane /var/log/orvane /usr/lib/orvane /etc/default/qzagentd; do
    [ ! -e "$path" ] || fail "$path is left after purge"
done
! getent passwd orvane >/dev/null || fail "the service account is left"
grep -q '^"Kept"="1"' "$REGISTRY" && grep -qF '[SOFTWARE\Tamrel\Other]' "$REGISTRY" ||
    fail "purge did not keep the other product's settings"
! grep -qi orvane "$REGISTRY" || fail "purge left settings in $REGISTRY"
snapshot >"$WORK/after"
if ! diff "$WORK/before" "$WORK/after" >"$WORK/diff"; then
    cat "$WORK/diff"
    fail "the file system differs after purge"
fi
echo "test-package: passed ($(($(date +%s) - started)) s)"
