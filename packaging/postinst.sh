
# Debian maintainer script: postinst (machine-setup.sh above, then this part).
if [ "$1" = configure ]; then
    machine_setup install
    for unit in @QZ_SYSTEMD_UNITS@; do
        # As debhelper does: enabled on the first install (was-enabled is true then), and an
        # administrator's "disable" stays across upgrades.
        deb-systemd-helper unmask "$unit" >/dev/null || true
        if deb-systemd-helper --quiet was-enabled "$unit"; then
            deb-systemd-helper enable "$unit" >/dev/null || true
        else
            deb-systemd-helper update-state "$unit" >/dev/null || true
        fi
    done
    if [ -d /run/systemd/system ]; then
        systemctl --system daemon-reload >/dev/null || true
        for unit in @QZ_SYSTEMD_UNITS@; do
            deb-systemd-invoke restart "$unit" >/dev/null || true
        done
    else
        # No systemd: the agent runs under its own supervision (qzagentd --background), with the
        # environment the unit would read.
        (
            set -a
            [ ! -r "@QZ_AGENT_ENVIRONMENT_FILE@" ] || . "@QZ_AGENT_ENVIRONMENT_FILE@"
            "@QZ_FULL_SBINDIR@/qzagentd" --background >/dev/null
        ) || true
    fi
fi
exit 0
