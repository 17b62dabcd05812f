#!/usr/bin/env bash
# One file-manager session through a Windows plug-in in a single wfxhost.exe process: the root,
# both simulated devices' folders, a 70000-byte file copied each way on each device (byte-exact),
# an aborted download, renames, a delete, a folder made and removed, both devices disconnected. The
# 32-bit host also checks that every export popped its own arguments (__stdcall). One process is
# what makes it the test of a machine that runs 32-bit programs only through user-mode emulation,
# where each process start costs seconds; the session's flow is checked like the device flows
# (tests/support/device-flows.sh).
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

plugin=quarnel.wfx64 loader=$QUARNEL_WINE64 stack_check=()
if [ "$target" = win32 ]; then
  plugin=quarnel.wfx loader=$QUARNEL_WINE32 stack_check=(--check-stack)
fi
[ -n "$loader" ] || { echo "FAIL: no Wine loader for $target"; exit 1; }
host=("$loader" "$build/$target/wfxhost.exe" --progress lines "${stack_check[@]}")
host_plugin="Z:$build/$target/$plugin"
SEP='\' PORT_PREFIX=COM PORT_BASE=5
host_path() { echo "Z:${1//\//\\}"; }
start_sims() {
  local state=$1
  shift
  bash "$REPO/scripts/sim-devices.sh" start "$state" "$build/linux/devsim" "$@" >/dev/null
}
DEBUG_LOG="$work/no-debug-log"  # this test reads no debug log

flows_start || { echo "FAIL: the simulators did not start"; exit 1; }
SIZE=70000
random_file "$work/local/up.bin" $SIZE
random_file "$work/sd/pp/down.bin" $SIZE
random_file "$work/sd/fz/ext/down.bin" $SIZE
printf 'rename me\n' >"$work/sd/fz/int/old name.txt"
# The host calls the wide form of a function where there is one; a second, shorter session through
# the ANSI forms checks those. On 32-bit each session ends with the stack check's verdict: every
# export it called popped its arguments, and the ones left uncalled are the other interface's.
verdict='!stack*' ansi_verdict='!stack*'
if [ "$target" = win32 ]; then
  verdict="stack: never called: FsFindFirst FsFindNext FsGetFile FsPutFile FsRenMovFile"
  verdict+=" FsDeleteFile FsRemoveDir FsMkDir FsDisconnect"
  ansi_verdict="stack: never called: FsInitW FsFindFirstW FsFindNextW FsGetFileW FsPutFileW"
  ansi_verdict+=" FsRenMovFileW FsDeleteFileW FsRemoveDirW FsMkDirW FsDisconnectW*"
fi

flow smoke <<EOF
ls "$ROOT"                                  | d 0 - $PP_NAME | d 0 - $FZ_NAME | d 0 - $HACKRF_NAME
ls "$PP"                                    | $CONNECT$PP_NAME | - $SIZE - down.bin | d 0 - APPS
ls "$FZ\\ext"                               | $CONNECT$FZ_NAME | - $SIZE - down.bin | d 0 - subghz
put "${L}up.bin" "$PP\\up.bin"              | FsPutFile: FS_FILE_OK | progress 100% *
get "$PP\\down.bin" "${L}down-pp.bin"       | FsGetFile: FS_FILE_OK | progress 100% *
put "${L}up.bin" "$FZ\\ext\\up.bin"         | FsPutFile: FS_FILE_OK | progress 100% *
get "$FZ\\ext\\down.bin" "${L}down-fz.bin"  | FsGetFile: FS_FILE_OK | progress 100% *
get --abort-at=50 "$PP\\big.bin" "${L}abort.bin" | FsGetFile: FS_FILE_USERABORT
                                            | ${ERROR}GetFile: User abort
mv "$PP\\sample.txt" "$PP\\APPS\\moved.txt" | FsRenMovFile: FS_FILE_OK
mv "$FZ\\int\\old name.txt" "$FZ\\int\\new name.txt" | FsRenMovFile: FS_FILE_OK
rm "$PP\\APPS\\app.bin"                     | FsDeleteFile: TRUE
mkdir "$FZ\\ext\\new dir"                   | FsMkDir: TRUE
ls "$FZ\\ext\\new dir"                      | ls: 0 entries
rmdir "$FZ\\ext\\new dir"                   | FsRemoveDir: TRUE
disconnect "$PP"                            | FsDisconnect: TRUE | $DISCONNECT$PP_NAME
disconnect "$FZ"                            | FsDisconnect: TRUE | $DISCONNECT$FZ_NAME | $verdict
                                            | !stack: not __stdcall*
EOF
flow_options=(--interface ansi)
flow smoke-ansi <<EOF
ls "$PP"                                    | $CONNECT$PP_NAME | - $SIZE - down.bin
put "${L}up.bin" "$PP\\ansi.bin"             | FsPutFile: FS_FILE_OK
get "$PP\\ansi.bin" "${L}ansi.bin"           | FsGetFile: FS_FILE_OK
mv "$PP\\ansi.bin" "$PP\\APPS\\ansi.bin"      | FsRenMovFile: FS_FILE_OK
rm "$PP\\APPS\\ansi.bin"                     | FsDeleteFile: TRUE
mkdir "$PP\\ansi dir"                        | FsMkDir: TRUE
rmdir "$PP\\ansi dir"                        | FsRemoveDir: TRUE
disconnect "$PP"                            | FsDisconnect: TRUE | $ansi_verdict
                                            | !stack: not __stdcall*
EOF
flow_options=()
check "upload to the PortaPack" same_bytes "$work/local/up.bin" "$work/sd/pp/up.bin"
check "download from the PortaPack" same_bytes "$work/sd/pp/down.bin" "$work/local/down-pp.bin"
check "upload to the Flipper" same_bytes "$work/local/up.bin" "$work/sd/fz/ext/up.bin"
check "download from the Flipper" same_bytes "$work/sd/fz/ext/down.bin" "$work/local/down-fz.bin"
check "aborted download: no partial local file" absent "$work/local/abort.bin"
check "rename (PortaPack)" grep -qx 'hello from the PortaPack' "$work/sd/pp/APPS/moved.txt"
check "rename (PortaPack): old name gone" absent "$work/sd/pp/sample.txt"
check "rename (Flipper)" grep -qx 'rename me' "$work/sd/fz/int/new name.txt"
check "rename (Flipper): old name gone" absent "$work/sd/fz/int/old name.txt"
check "delete" absent "$work/sd/pp/APPS/app.bin"
check "folder removed" absent "$work/sd/fz/ext/new dir"
check "ANSI session: the upload came back" same_bytes "$work/local/up.bin" "$work/local/ansi.bin"
check "ANSI session: moved and deleted" absent "$work/sd/pp/APPS/ansi.bin"
if [ "$checks_failed" -eq 0 ]; then
  echo "smoke: $checks_passed checks passed"
  exit 0
fi
echo "smoke: $checks_failed of $((checks_passed + checks_failed)) checks FAILED"
exit 1
