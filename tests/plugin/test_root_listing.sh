#!/usr/bin/env bash
# The Linux plug-in, loaded by wfxhost, lists the root of a fake sysfs tree: simulated PortaPack,
# Flipper and HackRF ports appear as folders in port order; an unrelated USB adapter does not, and
# is not even opened.
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
state="$work/state"
cleanup() {
  bash "$repo/scripts/sim-devices.sh" stop "$state" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

export QUARNEL_SYSFS_ROOT="$work/sys" QUARNEL_DEV_ROOT="$work/dev" TMPDIR="$work"
host=("$build/wfxhost" --progress lines "$build/quarnel.wfx")

# An empty tree: the root is an empty folder, which is a success.
mkdir -p "$work/sys/class/tty" "$work/dev"
out=$("${host[@]}" ls '\') || fail "empty root should succeed: $out"
grep -qx 'ls: 0 entries' <<<"$out" || fail "empty root: $out"
grep -q 'last error 18 (ERROR_NO_MORE_FILES)' <<<"$out" || fail "empty root error: $out"

bash "$repo/scripts/sim-devices.sh" start-linux "$state" "$build/devsim" "$work/sys" "$work/dev" \
  portapack,0 flipper,1,,Test1 hackrf,2 >/dev/null || fail "simulators did not start"

# An FTDI adapter on ttyUSB0: not ours, so never opened for the ghost test. Its device node is a
# dangling link, which that test would take for a ghost.
usb="$work/sys/devices/pci0000:00/0000:00:14.0/usb1/1-9"
mkdir -p "$usb/1-9:1.0/ttyUSB0/tty/ttyUSB0"
printf '0403\n' >"$usb/idVendor"
printf '6001\n' >"$usb/idProduct"
printf 'FT232R USB UART\n' >"$usb/product"
ln -s ../.. "$usb/1-9:1.0/ttyUSB0/tty/ttyUSB0/device"
ln -s "../../devices/pci0000:00/0000:00:14.0/usb1/1-9/1-9:1.0/ttyUSB0/tty/ttyUSB0" \
  "$work/sys/class/tty/ttyUSB0"
ln -s "$work/nothing" "$work/dev/ttyUSB0"

for root in '\' '/'; do
  out=$("${host[@]}" ls "$root") || fail "ls $root failed: $out"
  entries=$(grep -E '^[d-] ' <<<"$out")
  expected=$'d 0 - PortaPack (ttyACM0)\nd 0 - Flipper Zero Test1 (ttyACM1)\nd 0 - HackRF One (ttyACM2, no shell)'
  [ "$entries" = "$expected" ] || fail "ls $root listed:"$'\n'"$entries"
  grep -qx 'ls: 3 entries' <<<"$out" || fail "count: $out"
done

# The scan's lines reach the host's log window as details and the debug log file.
grep -q '^log\[3 DETAILS\]: --- EnumerateComPorts start ---$' <<<"$out" || fail "no scan log: $out"
grep -q '^log\[3 DETAILS\]: -> Port: ttyUSB0$' <<<"$out" || fail "adapter not scanned: $out"
grep -qx 'log\[3 DETAILS\]: -> Port nicht geprueft (kein bekanntes Geraet): ttyUSB0' <<<"$out" ||
  fail "adapter opened: $out"
grep -q '  === FsInit called, PluginNr=0 ===' "$work/quarnel.log" || fail "debug log missing"
grep -q '  FsFindFirst: plugin-root, 3 devices' "$work/quarnel.log" || fail "debug log lines"

# A host that jumps straight into a device folder remembered from an earlier run (its history, a
# restored tab), before this run listed the root: the ports are looked at again and the folder
# opens.
out=$("${host[@]}" ls '\PortaPack (ttyACM0)') || fail "remembered device folder: $out"
grep -q 'GetDevice: not in the root list, listing the root again' <<<"$out" || fail "no refresh: $out"
grep -q '^log\[1 CONNECT\]: CONNECT /PortaPack (ttyACM0)$' <<<"$out" || fail "not connected: $out"
echo "root listing: ok"
