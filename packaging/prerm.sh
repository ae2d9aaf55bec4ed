
# Debian maintainer script: prerm (machine-setup.sh above, then this part).
if [ "$1" = remove ] || [ "$1" = upgrade ] || [ "$1" = deconfigure ]; then
    if [ -d /run/systemd/system ]; then
        for unit in @QZ_SYSTEMD_UNITS@; do
            deb-systemd-invoke stop "$unit" >/dev/null || true
        done
    fi
    # A copy started without systemd (or by hand) ends too.
    "@QZ_FULL_SBINDIR@/qzagentd" --stop >/dev/null 2>&1 || true
fi
exit 0
