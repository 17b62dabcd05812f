#!/usr/bin/env bash
# The Linux plug-in exports the host's functions, the ANSI ones and the wide ones in their complete
# set, and nothing else: no data (PluginNr, LogProc, ...), no C++ symbols. Argument: the build
# folder.
set -uo pipefail
build=$(cd "${1:?usage: test_exports.sh BUILD_DIR}" && pwd)
lib="$build/quarnel.wfx"
[ -e "$lib" ] || { echo "FAIL: $lib not built"; exit 1; }
wanted="FsInit FsSetDefaultParams FsGetDefRootName FsFindFirst FsFindNext FsFindClose FsGetFile
FsPutFile FsRenMovFile FsDeleteFile FsRemoveDir FsMkDir FsDisconnect
FsInitW FsFindFirstW FsFindNextW FsGetFileW FsPutFileW FsRenMovFileW FsDeleteFileW FsRemoveDirW
FsMkDirW FsDisconnectW"
status=0
# "ADDRESS TYPE NAME" for every symbol the library defines in its dynamic symbol table.
symbols=$(nm -D --defined-only "$lib" | awk '{print $2, $3}')
while read -r type name; do
  [ -n "$name" ] || continue
  if [ "$type" != T ] || ! [[ "$name" =~ ^Fs[A-Za-z]+$ ]]; then
    echo "FAIL: unexpected export: $type $name"
    status=1
  fi
done <<<"$symbols"
for name in $wanted; do
  grep -qx "T $name" <<<"$symbols" || { echo "FAIL: $name not exported"; status=1; }
done
[ "$status" -eq 0 ] && echo "exports: $(awk '{print $2}' <<<"$symbols" | tr '\n' ' ')"
exit $status
