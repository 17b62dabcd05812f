#!/usr/bin/env bash
# Both Windows plug-ins, each driven by the wfxhost.exe of its own bitness, list the root from the
# Wine prefix's registry: simulated PortaPack, Flipper and HackRF ports on pseudo-terminals linked
# as COM5-COM7 appear as folders; an FTDI adapter (COM8) is neither listed nor opened; a PortaPack
# whose SERIALCOMM entry outlived its device (COM9) is dropped as a ghost.
# per-target
# Arguments: the build root and the target (win64 or win32).
set -uo pipefail
build=$(cd "${1:?build root}" && pwd)
target=${2:?target}
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/scripts/wine-env.sh"
wine64() { "$QUARNEL_WINE64" "$@"; }
: "${WINEPREFIX:?WINEPREFIX must be set}"
work=$(mktemp -d)
adapter_pid=""
cleanup() {
  bash "$repo/scripts/sim-devices.sh" stop "$work/state" >/dev/null 2>&1
  [ -n "$adapter_pid" ] && kill "$adapter_pid" 2>/dev/null && wait "$adapter_pid" 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/com8"
  wine64 reg delete 'HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+A1B2C3D4A' /f \
    >/dev/null 2>&1
  wine64 reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /f >/dev/null 2>&1
  wine64 reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\QuarnelGhost9' /f >/dev/null 2>&1
  wine64 reg delete 'HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_1D50&PID_6018\QuarnelGhost9' /f \
    >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

bash "$repo/scripts/sim-devices.sh" start "$work/state" "$build/linux/devsim" \
  portapack,5 flipper,6,,Test1 hackrf,7 || fail "simulators did not start"

# The unrelated adapter: a silent line on COM8, registered under FTDIBUS as such adapters are.
mkdir -p "$work/adapter"
"$build/linux/devsim" --device portapack --silent --root "$work/adapter" >"$work/adapter.out" &
adapter_pid=$!
for _ in $(seq 100); do [ -s "$work/adapter.out" ] && break; sleep 0.1; done
ln -sfn "$(head -n1 "$work/adapter.out")" "$WINEPREFIX/dosdevices/com8"
key='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000'
wine64 reg add "$key\\Device Parameters" /v PortName /d COM8 /f >/dev/null
wine64 reg add "$key" /v FriendlyName /d 'USB Serial Port (COM8)' /f >/dev/null
wine64 reg add "$key" /v HardwareID /t REG_MULTI_SZ /d 'FTDIBUS\COMPORT&VID_0403&PID_6001' /f >/dev/null
wine64 reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /d COM8 /f >/dev/null
wine64 reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\QuarnelGhost9' /d COM9 /f >/dev/null
ghost='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_1D50&PID_6018\QuarnelGhost9'
wine64 reg add "$ghost\\Device Parameters" /v PortName /d COM9 /f >/dev/null
wine64 reg add "$ghost" /v HardwareID /t REG_MULTI_SZ /d 'USB\VID_1D50&PID_6018' /f >/dev/null
rm -f "$WINEPREFIX/dosdevices/com9"

expected=$'d 0 - PortaPack (COM5)\nd 0 - Flipper Zero Test1 (COM6)\nd 0 - HackRF One (COM7, no shell)'
status=0
for dir in $target; do
  plugin=quarnel.wfx64
  [ "$dir" = win32 ] && plugin=quarnel.wfx
  out=$(quarnel_wine "$dir" "$build/$dir/wfxhost.exe" --progress lines "Z:$build/$dir/$plugin" ls '\' 2>&1)
  rc=$?
  entries=$(grep -E '^[d-] ' <<<"$out" | tr -d '\r')
  if [ $rc -ne 0 ] || [ "$entries" != "$expected" ]; then
    echo "$dir: root listing wrong (exit $rc):"; echo "$out"; status=1; continue
  fi
  for line in 'log[3 DETAILS]: -> Ghost-Port ignoriert: COM9' \
              'log[3 DETAILS]: -> Port nicht geprueft (kein bekanntes Geraet): COM8' \
              'log[3 DETAILS]:    FriendlyName: USB Serial Port (COM8)' \
              'log[3 DETAILS]:    VID/PID:      $0483/$5740' 'ls: 3 entries'; do
    grep -qxF "$line" <<<"$(tr -d '\r' <<<"$out")" || { echo "$dir: missing line: $line"; status=1; }
  done
  echo "$dir: $(tr '\n' ';' <<<"$entries")"
done
exit $status
