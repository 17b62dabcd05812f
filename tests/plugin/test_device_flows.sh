#!/usr/bin/env bash
# What a file manager does with the devices, through the Linux plug-in: wfxhost loads quarnel.wfx,
# simulators serve the devices behind a fake sysfs tree, and the debug log goes to a TMPDIR of the
# test's own. The flows themselves are in tests/support/device-flows.sh (shared with the Wine
# test); this file adds the port held by a second plug-in process (its flock keeps others out) and
# the "/" paths Double Commander passes. Argument: the build folder.
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
REPO=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../support/device-flows.sh
source "$REPO/tests/support/device-flows.sh"

export QUARNEL_SYSFS_ROOT="$work/sys" QUARNEL_DEV_ROOT="$work/dev" TMPDIR="$work"
host=("$build/wfxhost" --progress lines)
host_plugin=$build/quarnel.wfx
SEP=/ PORT_PREFIX=ttyACM PORT_BASE=0 DEBUG_LOG="$work/quarnel.log" ANSI_CP=65001

host_path() { echo "$1"; }
start_sims() {
  local state=$1
  shift
  bash "$REPO/scripts/sim-devices.sh" start-linux "$state" "$build/devsim" "$work/sys" "$work/dev" \
    "$@" >/dev/null
}
# A second plug-in process that has connected to the port holds it (and its flock) until released.
hold_port() {
  local dir
  dir=$(portapack_dir "$1")
  local name=${dir#\\}
  flow_start holder <<EOF
ls /
ls "$dir"                   | $CONNECT$name
wait "$(signal released)"
EOF
  flow_wait_line holder "> wait"
}
release_port() {
  make_signal released
  flow_finish holder
}

# Double Commander writes plug-in paths with "/", folders often with a trailing one, and gives
# FsDisconnect the path of the CONNECT notice.
flow_slash_paths() {
  local pp fz
  pp=/$PP_NAME
  fz=/$FZ_NAME
  flow slash-paths <<EOF
ls /
ls "$pp/"                                     | $CONNECT$PP_NAME | d 0 - APPS
ls "$fz/ext/"                                 | d 0 - subghz
get "$pp/my file.txt" "$work/local/slash.txt" | FsGetFile: FS_FILE_OK
put "$work/local/slash.txt" "$fz/ext/subghz/slash.txt" | FsPutFile: FS_FILE_OK
mkdir "$fz/ext/subghz/"                       | FsMkDir: TRUE
mkdir "$pp/APPS/"                             | FsMkDir: TRUE
mv "$fz/ext/subghz/slash.txt" "$fz/int/slash.txt" | FsRenMovFile: FS_FILE_OK
mv "$pp/my file.txt" "$fz/int/my file.txt"    | FsRenMovFile: FS_FILE_NOTSUPPORTED
ls "$fz/int/"                                 | - 32 - slash.txt
rm "$fz/int/slash.txt"                        | FsDeleteFile: TRUE
disconnect "$pp"                              | FsDisconnect: TRUE | $DISCONNECT$PP_NAME
EOF
  check "\"/\" paths: download" same_bytes "$work/sd/pp/my file.txt" "$work/local/slash.txt"
}

# Settings as users write them: the section and key in other letter cases, blanks around "=", a
# comment, CR LF. PortapackSizes=0 turns the sizes off: no "filesize" at all, and one detail line.
flow_sizes_off() {
  printf '; Quarnel\r\n[quarnel]\r\n# the PortaPack sizes\r\n  portapackSIZES = 0 \r\n' >"$work/off.ini"
  FLOW_INI=$work/off.ini flow sizes-off <<EOF
ls /
ls "/$PP_NAME/SIZES"        | - 0 - capture.C16 | - 0 - big.bin | ls: 5 entries
                          | ${DETAILS}portapack sizes: 5 files in /SIZES, sizes are off (PortapackSizes=0); they show 0 bytes
                          | !${DETAILS}portapack SendCmd: [filesize*
EOF
  check_log "Settings: PortapackSizes=0"
}

flows_start || { echo "FAIL: the simulators did not start"; exit 1; }
flows_run_all
counted slash-paths flow_slash_paths
counted sizes-off flow_sizes_off
flows_summary
