#!/usr/bin/env bash
# The release archives: the Windows zip holds pluginst.inf and both plug-ins in its root, the Linux
# zip the ELF plug-in and never a .wfx64 beside it.
set -uo pipefail
build=$(cd "${1:?build root}" && pwd)
repo=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
[ "$build" = "$repo/build" ] || fail "make-dist packs $repo/build, not $build"
DIST_DIR="$out" bash "$repo/packaging/make-dist.sh" test >/dev/null || fail "make-dist failed"
win="$out/quarnel-test-windows.zip" lin="$out/quarnel-test-linux-x86_64.zip"
names() { unzip -Z1 "$1" | sort | tr '\n' ' '; }
[ "$(names "$win")" = "pluginst.inf quarnel.wfx quarnel.wfx64 readme.txt " ] || fail "windows zip: $(names "$win")"
[ "$(names "$lin")" = "quarnel.wfx readme.txt " ] || fail "linux zip: $(names "$lin")"
mkdir "$out/w" "$out/l"
unzip -q "$win" -d "$out/w" && unzip -q "$lin" -d "$out/l"
i686-w64-mingw32-objdump -f "$out/w/quarnel.wfx" | grep -q 'file format pei-i386' || fail "wfx not PE32"
x86_64-w64-mingw32-objdump -f "$out/w/quarnel.wfx64" | grep -q 'pei-x86-64' || fail "wfx64 not PE32+"
[ "$(head -c 4 "$out/l/quarnel.wfx" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || fail "linux wfx not ELF"
grep -qx 'file=quarnel.wfx' <(tr -d '\r' <"$out/w/pluginst.inf") || fail "pluginst.inf names no file"
grep -qx 'type=wfx' <(tr -d '\r' <"$out/w/pluginst.inf") || fail "pluginst.inf type"
echo "dist: $(du -k "$win" | cut -f1) KiB windows, $(du -k "$lin" | cut -f1) KiB linux"
