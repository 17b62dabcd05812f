#!/usr/bin/env bash
# What a file manager does with the devices, through a Windows plug-in under Wine: the wfxhost.exe
# of the target's bitness loads it, and simulators serve the devices as COM ports of the Wine
# prefix, with the registry entries scripts/sim-devices.sh writes. The flows are those of the Linux
# test (tests/support/device-flows.sh); local paths are Windows paths (Z: and the Unix path).
# per-target
# Arguments: the build root and the target (win64 or win32). Uses the prefix and wineserver that
# tests/wine/run.sh set up.
set -uo pipefail
build=$(cd "${1:?build root}" && pwd)
target=${2:?target}
REPO=$(cd "$(dirname "$0")/../.." && pwd)
source "$REPO/scripts/wine-env.sh"
: "${WINEPREFIX:?WINEPREFIX must be set}"
# shellcheck source=../support/device-flows.sh
source "$REPO/tests/support/device-flows.sh"

plugin=quarnel.wfx64 loader=$QUARNEL_WINE64
[ "$target" = win32 ] && plugin=quarnel.wfx loader=$QUARNEL_WINE32
[ -n "$loader" ] || { echo "FAIL: no Wine loader for $target"; exit 1; }
# The loader itself, not quarnel_wine: a host run in the background must be the process whose PID
# the flows end.
# The output in UTF-8, so that the flows' lines are the Linux test's.
host=("$loader" "$build/$target/wfxhost.exe" --progress lines --codepage 65001)
host_plugin="Z:$build/$target/$plugin"
# The prefix's ANSI code page follows the locale: C.UTF-8 gives 1252, as in Western Europe.
export LC_ALL=C.UTF-8
SEP='\' PORT_PREFIX=COM PORT_BASE=5 ANSI_CP=1252

host_path() { echo "Z:${1//\//\\}"; }
start_sims() {
  local state=$1
  shift
  bash "$REPO/scripts/sim-devices.sh" start "$state" "$build/linux/devsim" "$@" >/dev/null
}
# Wine lets two Windows programs open one COM port at once, so a second plug-in process cannot hold
# it here. A port that leads to a folder fails every open with ERROR_ACCESS_DENIED, Windows' answer
# while another program has the port open; releasing it puts the simulator's line back.
hold_port() {
  mkdir -p "$work/held"
  ln -sfn "$work/held" "$WINEPREFIX/dosdevices/com$(port_number "$1")"
}
release_port() {
  local n
  n=$(port_number "$1")
  ln -sfn "$(head -n1 "$work/state/all/sim$n.out")" "$WINEPREFIX/dosdevices/com$n"
}

# The plug-in writes its debug log to %TEMP% of the Windows side.
temp=$("$QUARNEL_WINE64" cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
DEBUG_LOG=$("$QUARNEL_WINE64" winepath -u "$temp\\quarnel.log" 2>/dev/null)
[ -n "$DEBUG_LOG" ] || DEBUG_LOG="$work/no-debug-log"

flows_start || { echo "FAIL: the simulators did not start"; exit 1; }
flows_run_all
flows_summary
