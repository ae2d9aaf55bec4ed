
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
        # systemd supervises the services: an own-supervision entry left from a time without
        # systemd would be asked first.
        unregister_cache_service || true
        systemctl --system daemon-reload >/dev/null || true
        for unit in @QZ_SYSTEMD_UNITS@; do
            deb-systemd-invoke restart "$unit" >/dev/null || true
        done
    else
        # No systemd: the agent and the build cache service run under the project's own
        # supervision, with the environment the units would give them. A service that does not
        # start is reported but does not fail the install (as a unit that fails to start).
        machine_setup start || true
    fi
fi
exit 0
