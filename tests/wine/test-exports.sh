#!/usr/bin/env bash
# Both Windows plug-ins export the host's functions, the ANSI ones and the wide ones in their
# complete set, under their plain names (no FsInit@16), and import nothing but system DLLs: no
# MinGW runtime DLL may be needed on the user's machine.
set -euo pipefail
build=$1
names="FsInit FsSetDefaultParams FsGetDefRootName FsFindFirst FsFindNext FsFindClose FsGetFile
FsPutFile FsRenMovFile FsDeleteFile FsRemoveDir FsMkDir FsDisconnect
FsInitW FsFindFirstW FsFindNextW FsGetFileW FsPutFileW FsRenMovFileW FsDeleteFileW FsRemoveDirW
FsMkDirW FsDisconnectW"
mandatory=$names
system_dll='^(kernel32|advapi32|msvcrt|user32|ntdll|ws2_32|ucrtbase|api-ms-win-.*)\.dll$'
status=0
for pair in "win64/quarnel.wfx64:x86_64" "win32/quarnel.wfx:i686"; do
  file="$build/${pair%%:*}"
  objdump="${pair##*:}-w64-mingw32-objdump"
  dump=$("$objdump" -p "$file")
  exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[\s*[0-9]*\]\s*\(\S*\)$/\1/p')
  for name in $mandatory; do
    grep -qx "$name" <<<"$exports" || { echo "$file: $name not exported"; status=1; }
  done
  for name in $names; do
    if grep -q "^$name@" <<<"$exports"; then echo "$file: $name decorated"; status=1; fi
  done
  if grep -v '^Fs' <<<"$exports" | grep -q .; then
    echo "$file: unexpected exports:"; printf '%s\n' "$exports" | grep -v '^Fs'; status=1
  fi
  while read -r dll; do
    echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dll" || { echo "$file imports $dll"; status=1; }
  done < <(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p')
  echo "$file: exports $(printf '%s\n' "$exports" | tr '\n' ' ')"
  echo "$file: imports $(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
done
exit $status
