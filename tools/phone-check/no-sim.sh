#!/bin/sh
# Checks what phone-check built (the ELF files directly in OUT_DIR, not its
# stubs): nothing of the simulated phone may be in them, i.e. they were built
# without KOR_HOST_SIM.  The simulation's marks are the functions that only
# that switch compiles: the modem driver emulation (modem_sim_*), the
# KORV_ROOT mapping of device paths (seam_root_*) and of shell commands
# (seam_map_command).
# Usage: no-sim.sh OUT_DIR
set -eu
out=${1:?usage: no-sim.sh OUT_DIR}
found=0
checked=0
for f in "$out"/*; do
    [ -f "$f" ] && head -c 4 "$f" | grep -q 'ELF' || continue
    checked=$((checked + 1))
    syms=$( { nm -C "$f" 2>/dev/null || true; nm -D "$f"; } | grep -E 'modem_sim|seam_root_|seam_map_command' || true)
    if [ -n "$syms" ]; then
        echo "$f: simulation symbols:"; echo "$syms"; found=1
    fi
done
[ "$checked" -gt 0 ] || { echo "no-sim.sh: nothing built in $out"; exit 1; }
[ "$found" -eq 0 ] || exit 1
echo "phone-check: $checked outputs, no simulation in them"
