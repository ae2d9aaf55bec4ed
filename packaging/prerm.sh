
# Debian maintainer script: prerm (machine-setup.sh above, then this part).
if [ "$1" = remove ] || [ "$1" = upgrade ] || [ "$1" = deconfigure ]; then
    if [ -d /run/systemd/system ]; then
        for unit in @QZ_SYSTEMD_UNITS@; do
            deb-systemd-invoke stop "$unit" >/dev/null || true
        done
    fi
    # The copies started without systemd (or by hand) end too.
    machine_setup stop || true
fi
exit 0
