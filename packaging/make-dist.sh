#!/usr/bin/env bash
# Writes the two release archives into dist/: one for Total Commander (both Windows builds and the
# installer description) and one for Linux (the ELF plug-in alone: a Windows .wfx64 beside a Linux
# .wfx would make a 64-bit Double Commander pick the wrong file).
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:?version}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
out=${DIST_DIR:-dist}
mkdir -p "$out" "$stage/win" "$stage/linux"
out=$(cd "$out" && pwd)

cp build/win32/quarnel.wfx build/win64/quarnel.wfx64 packaging/pluginst.inf "$stage/win/"
cp packaging/README-windows.txt "$stage/win/readme.txt"
cp build/linux/quarnel.wfx "$stage/linux/"
# Release files carry no debug symbols (the build folders keep theirs).
i686-w64-mingw32-strip "$stage/win/quarnel.wfx"
x86_64-w64-mingw32-strip "$stage/win/quarnel.wfx64"
strip "$stage/linux/quarnel.wfx"
cp packaging/README-linux.txt "$stage/linux/readme.txt"

win="$out/quarnel-$version-windows.zip"
lin="$out/quarnel-$version-linux-x86_64.zip"
rm -f "$win" "$lin"
(cd "$stage/win" && zip -q -X "$win" pluginst.inf quarnel.wfx quarnel.wfx64 readme.txt)
(cd "$stage/linux" && zip -q -X "$lin" quarnel.wfx readme.txt)
echo "$win"
echo "$lin"
