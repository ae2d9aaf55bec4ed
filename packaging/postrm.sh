
# Debian maintainer script: postrm (machine-setup.sh above, then this part).
if [ -d /run/systemd/system ]; then
    systemctl --system daemon-reload >/dev/null || true
fi
if [ "$1" = remove ]; then
    for unit in @QZ_SYSTEMD_UNITS@; do
        deb-systemd-helper mask "$unit" >/dev/null || true
    done
fi
if [ "$1" = purge ]; then
    for unit in @QZ_SYSTEMD_UNITS@; do
        deb-systemd-helper purge "$unit" >/dev/null || true
        deb-systemd-helper unmask "$unit" >/dev/null || true
    done
    machine_setup purge
fi
exit 0
