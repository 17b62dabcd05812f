#!/usr/bin/env bash
# Shows the plug-in at work on simulated devices: a PortaPack, a Flipper Zero named Demo and a
# HackRF One, served by tools/devsim on pseudo-terminals. First the Linux plug-in over a fake sysfs
# tree, then both Windows plug-ins under Wine over COM ports in a Wine prefix of their own.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
work=$(mktemp -d)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$repo/scripts/wine-env.sh"
cleanup() {
  bash "$repo/scripts/sim-devices.sh" stop "$work/linux" >/dev/null 2>&1 || true
  bash "$repo/scripts/sim-devices.sh" stop "$work/wine" >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Some files on the simulated SD cards, for the later steps of the tour.
mkdir -p "$work/sd/APPS" "$work/flipper/ext/subghz" "$work/flipper/int"
printf 'hello from the PortaPack\n' >"$work/sd/README.TXT"
printf 'Filetype: Flipper SubGhz Key File\n' >"$work/flipper/ext/subghz/garage.sub"

say "Linux: Double Commander's view, through build/linux/wfxhost"
bash "$repo/scripts/sim-devices.sh" start-linux "$work/linux" "$build/linux/devsim" \
  "$work/sys" "$work/dev" "portapack,0,$work/sd" "flipper,1,$work/flipper,Demo" hackrf,2
QUARNEL_SYSFS_ROOT="$work/sys" QUARNEL_DEV_ROOT="$work/dev" TMPDIR="$work" \
  "$build/linux/wfxhost" --progress lines "$build/linux/quarnel.wfx" ls /
say "The first lines of the debug log ($work/quarnel.log)"
head -n 4 "$work/quarnel.log" | tr -d '\r'
bash "$repo/scripts/sim-devices.sh" stop "$work/linux" >/dev/null

say "Windows under Wine: preparing a Wine prefix (the first time takes a while)"
quarnel_wine_prefix
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null  # keeps the volatile port map alive between steps
bash "$repo/scripts/sim-devices.sh" start "$work/wine" "$build/linux/devsim" \
  "portapack,5,$work/sd" "flipper,6,$work/flipper,Demo" hackrf,7

[ -n "$QUARNEL_WINE32_SKIP" ] && echo "wine32: skipped ($QUARNEL_WINE32_SKIP)"
for dir in $QUARNEL_WINE_TARGETS; do
  plugin=quarnel.wfx64
  [ "$dir" = win32 ] && plugin=quarnel.wfx
  say "Total Commander's view ($dir): wfxhost.exe $plugin ls \\"
  quarnel_wine "$dir" "$build/$dir/wfxhost.exe" --progress lines "Z:$build/$dir/$plugin" ls '\' | tr -d '\r'
done

say "Export tables of the Windows plug-ins"
bash "$repo/tests/wine/test-exports.sh" "$build"
say "Done: the simulators are stopped and the demo's files removed."
