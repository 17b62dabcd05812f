# The device flows that a file manager drives through the plug-in, shared by the Linux test
# (tests/plugin/test_device_flows.sh: wfxhost and quarnel.wfx over a fake sysfs tree) and the
# Windows one (tests/wine/test-device-flows.sh: wfxhost.exe under Wine over COM ports). Sourced,
# never run. It starts the simulators the flows need, runs each flow as one wfxhost script (one
# plug-in session, connections kept between its commands) and counts every check it makes.
#
# A flow is written as a script with, after each command, the lines its output must hold:
#     get "$PP\big.bin" "${L}big.bin"   | FsGetFile: FS_FILE_OK | !log[6 IMPORTANTERROR]*
# Each item after " | " is one check on that command's output (from its "> " line to the next):
# TEXT an exact line, TEXT* a line beginning with TEXT, !TEXT or !TEXT* no such line. An indented
# line that begins with "| " adds items to the command above it.
#
# Sourcing makes the test's folder, $work, and ends everything the flows started (hosts, then
# simulators) and removes the folder when the test ends. The test sets, before flows_start:
#   REPO        the repository
#   host        the command that runs the host with its options (progress as lines; on Windows
#               the output in UTF-8), without the plug-in
#   host_plugin the plug-in file as the host names it
#   ANSI_CP     the ANSI code page of the plug-in's ANSI functions: 65001 (UTF-8) on Linux
#   SEP         the host's separator in plug-in paths: "/" on Linux (the root and the CONNECT and
#               DISCONNECT notices), "\" on Windows
#   PORT_PREFIX, PORT_BASE   the ports' names: ttyACM and 0 (ttyACM0, ...), COM and 5 (COM5, ...)
#   DEBUG_LOG   where the plug-in's debug log is (it may not exist yet)
# and defines:
#   host_path PATH            a Unix path as the host writes local paths
#   start_sims STATE ENTRY... sim-devices.sh start or start-linux with the test's roots
#   hold_port SLOT / release_port SLOT   make the port busy, as another program would, and free it

checks_passed=0
checks_failed=0
declare -A flow_pids=()
# Host options of the flows to come (the interface to use).
flow_options=()
work=$(mktemp -d)
trap 'flows_stop; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  checks_failed=$((checks_failed + 1))
}
pass() { checks_passed=$((checks_passed + 1)); }

# check DESCRIPTION COMMAND...: one check that COMMAND succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}
same_bytes() { cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }

# ---- Simulators ---------------------------------------------------------------------------------

# Slots: 0-1 the devices most flows use (the PortaPack's card cannot size "unreadable.bin"), 2 a
# HackRF, 3-10 devices with faults, 11 one that goes away, 12 one whose port another program holds,
# 13-14 devices whose link changes a byte of a download and of an upload, 15 a PortaPack whose
# firmware has no "crc32".
SLOT_PP=0 SLOT_FZ=1 SLOT_HACKRF=2 SLOT_SILENT_PP=3 SLOT_SILENT_FZ=4 SLOT_DROP_GET_PP=5
SLOT_DROP_GET_FZ=6 SLOT_DROP_PUT_PP=7 SLOT_DROP_PUT_FZ=8 SLOT_ERROR_PP=9 SLOT_ERROR_FZ=10
SLOT_GONE=11 SLOT_BUSY=12 SLOT_FLIP_PP=13 SLOT_FLIP_FZ=14 SLOT_OLD_PP=15
# The flipping devices' file and the payload bytes their links invert: one in the download of the
# file, one in the upload of a file of the same size that follows it.
FLIP_SIZE=5000 FLIPS=--flip-byte,100,--flip-byte,5100
# A drop after 40000 payload bytes cuts a transfer of 100000 in its second PortaPack block.
DROP_AFTER=40000
BIG=100000

# Simulator Slot serves port number PORT_BASE + Slot, named PORT_PREFIX + that number.
port_number() { echo $((PORT_BASE + $1)); }
port_name() { echo "$PORT_PREFIX$(port_number "$1")"; }
# A device's folder in plug-in paths, and its name as the root listing shows it.
portapack_dir() { echo "\\PortaPack ($(port_name "$1"))"; }
flipper_dir() { echo "\\Flipper Zero $2 ($(port_name "$1"))"; }

# A file of Size pseudo-random bytes.
random_file() { head -c "$2" /dev/urandom >"$1"; }

flows_start() {
  mkdir -p "$work/sd" "$work/local" "$work/signals" "$work/flows"
  local sd=$work/sd
  mkdir -p "$sd/pp/APPS" "$sd/fz/int" "$sd/fz/ext/subghz"
  printf 'hello from the PortaPack\n' >"$sd/pp/sample.txt"
  printf 'a file with a blank in its name\n' >"$sd/pp/my file.txt"
  printf 'app\n' >"$sd/pp/APPS/app.bin"
  random_file "$sd/pp/big.bin" "$BIG"
  printf 'Filetype: Flipper SubGhz Key File\n' >"$sd/fz/ext/subghz/My Garage.sub"
  printf 'note\n' >"$sd/fz/int/note.txt"
  random_file "$sd/fz/ext/big.bin" "$BIG"
  local slot
  for slot in $SLOT_DROP_GET_PP $SLOT_ERROR_PP; do
    mkdir -p "$sd/$slot" && cp "$sd/pp/big.bin" "$sd/$slot/"
  done
  for slot in $SLOT_DROP_GET_FZ $SLOT_ERROR_FZ; do
    mkdir -p "$sd/$slot/ext" && cp "$sd/fz/ext/big.bin" "$sd/$slot/ext/"
  done
  random_file "$work/local/up.bin" "$BIG"
  mkdir -p "$sd/$SLOT_GONE" && printf 'soon gone\n' >"$sd/$SLOT_GONE/left.txt"
  mkdir -p "$sd/$SLOT_FLIP_PP" "$sd/$SLOT_FLIP_FZ/ext" "$sd/$SLOT_OLD_PP"
  random_file "$sd/$SLOT_FLIP_PP/f.bin" "$FLIP_SIZE"
  random_file "$sd/$SLOT_FLIP_FZ/ext/f.bin" "$FLIP_SIZE"
  random_file "$work/local/flip.bin" "$FLIP_SIZE"
  printf 'from an older PortaPack\n' >"$sd/$SLOT_OLD_PP/f.bin"

  local drop=--drop-after,$DROP_AFTER errors=--error,read_chunks,--error,write_chunk
  start_sims "$work/state/all" \
    "portapack,$(port_number $SLOT_PP),$sd/pp,,--error,filesize@unreadable.bin" \
    "flipper,$(port_number $SLOT_FZ),$sd/fz,Test1" \
    "hackrf,$(port_number $SLOT_HACKRF)" \
    "portapack,$(port_number $SLOT_SILENT_PP),,,--silent" \
    "flipper,$(port_number $SLOT_SILENT_FZ),,Mute,--silent" \
    "portapack,$(port_number $SLOT_DROP_GET_PP),$sd/$SLOT_DROP_GET_PP,,$drop" \
    "flipper,$(port_number $SLOT_DROP_GET_FZ),$sd/$SLOT_DROP_GET_FZ,DropGet,$drop" \
    "portapack,$(port_number $SLOT_DROP_PUT_PP),,,$drop" \
    "flipper,$(port_number $SLOT_DROP_PUT_FZ),,DropPut,$drop" \
    "portapack,$(port_number $SLOT_ERROR_PP),$sd/$SLOT_ERROR_PP,,--error,frb,--error,fwb" \
    "flipper,$(port_number $SLOT_ERROR_FZ),$sd/$SLOT_ERROR_FZ,Err,$errors" \
    "portapack,$(port_number $SLOT_BUSY)" \
    "portapack,$(port_number $SLOT_FLIP_PP),$sd/$SLOT_FLIP_PP,,$FLIPS" \
    "flipper,$(port_number $SLOT_FLIP_FZ),$sd/$SLOT_FLIP_FZ,Flip,$FLIPS" \
    "portapack,$(port_number $SLOT_OLD_PP),$sd/$SLOT_OLD_PP,,--without,crc32" || return 1
  start_sims "$work/state/gone" "portapack,$(port_number $SLOT_GONE),$sd/$SLOT_GONE" || return 1

  # The names the flows use: plug-in folders, their names in the root, the host's local folder,
  # and the beginnings of lines the host prints.
  PP=$(portapack_dir $SLOT_PP)
  FZ=$(flipper_dir $SLOT_FZ Test1)
  HACKRF="\\HackRF One ($(port_name $SLOT_HACKRF), no shell)"
  PP_NAME=${PP#\\}
  FZ_NAME=${FZ#\\}
  HACKRF_NAME=${HACKRF#\\}
  L=$(host_path "$work/local/")
  ROOT=$SEP
  CONNECT="log[1 CONNECT]: CONNECT $SEP"
  DISCONNECT="log[2 DISCONNECT]: DISCONNECT $SEP"
  DETAILS="log[3 DETAILS]: "
  ERROR="log[6 IMPORTANTERROR]: "
  NOT_FOUND="FsFindFirst: INVALID_HANDLE_VALUE, last error 3 (ERROR_PATH_NOT_FOUND)"
  LOG_START=$(stat -c %s "$DEBUG_LOG" 2>/dev/null || echo 0)
}

# Ends what flows_start and the flows started: hosts still running, then the simulators.
flows_stop() {
  local pid
  for pid in "${flow_pids[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  flow_pids=()
  bash "$REPO/scripts/sim-devices.sh" stop "$work/state/gone" >/dev/null 2>&1
  bash "$REPO/scripts/sim-devices.sh" stop "$work/state/all" >/dev/null 2>&1
}

# ---- Running flows ------------------------------------------------------------------------------

# flow_start NAME < FLOW: starts the host on the flow's commands in the background.
flow_start() {
  local name=$1 dir="$work/flows/$1" n=0 line command rest item
  mkdir -p "$dir"
  : >"$dir/script"
  : >"$dir/expect"
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    if [[ $line =~ ^[[:space:]]+\|[[:space:]] ]]; then
      rest=" ${line#"${line%%[![:space:]]*}"}"  # more items for the command above
    else
      n=$((n + 1))
      command=${line%% | *}
      rest=${line:${#command}}
      printf '%s\n' "${command%"${command##*[![:space:]]}"}" >>"$dir/script"
    fi
    while [[ $rest == " | "* ]]; do
      rest=${rest#" | "}
      item=${rest%% | *}
      rest=${rest:${#item}}
      item=${item%"${item##*[![:space:]]}"}
      printf '%s\t%s\n' "$n" "${item#"${item%%[![:space:]]*}"}" >>"$dir/expect"
    done
  done
  echo "$n" >"$dir/count"
  # A flow with settings names FLOW_INI in FsSetDefaultParams (run options precede the plug-in).
  local options=("${flow_options[@]}")
  [ -n "${FLOW_INI:-}" ] && options+=(--ini "$(host_path "$FLOW_INI")")
  timeout 120 "${host[@]}" "${options[@]}" "$host_plugin" run "$(host_path "$dir/script")" \
    >"$dir/raw" 2>&1 &
  flow_pids[$name]=$!
}

# flow_wait_line NAME PREFIX: waits (at most 60 s) until the running flow has printed a line
# beginning with PREFIX.
flow_wait_line() {
  local raw="$work/flows/$1/raw" _
  for _ in $(seq 600); do
    P=$2 awk 'index($0, ENVIRON["P"]) == 1 { found = 1; exit } END { exit !found }' "$raw" \
      2>/dev/null && return 0
    sleep 0.1
  done
  fail "$1: no line [$2] within 60 s"
  return 1
}

# True when Block (a file) satisfies Item.
block_has() {
  local block=$1 item=$2 negate=0 found=1
  if [[ $item == '!'* ]]; then
    negate=1
    item=${item#!}
  fi
  if [[ $item == *'*' ]]; then
    # The prefix through the environment: awk -v would take its backslashes as escapes.
    P=${item%'*'} awk 'index($0, ENVIRON["P"]) == 1 { found = 1; exit } END { exit !found }' \
      "$block" && found=0
  else
    grep -qxF -- "$item" "$block" && found=0
  fi
  [ $negate -eq 0 ] && return $found
  [ $found -ne 0 ]
}

# flow_finish NAME: waits for the host and checks every item of the flow.
flow_finish() {
  local name=$1 dir="$work/flows/$1" rc n item block
  wait "${flow_pids[$name]}"
  rc=$?
  unset "flow_pids[$name]"
  [ $rc -eq 124 ] && fail "$name: the host did not end within 120 s"
  tr -d '\r' <"$dir/raw" >"$dir/out"
  rm -f "$dir"/block*
  awk -v dir="$dir" '/^> / { n++ } { print > (dir "/block" n) }' "$dir/out"
  local ran wanted
  ran=$(grep -c '^> ' "$dir/out")
  wanted=$(cat "$dir/count")
  if [ "$ran" -eq "$wanted" ]; then pass; else fail "$name: $ran of $wanted commands ran"; fi
  while IFS=$'\t' read -r n item; do
    block="$dir/block$n"
    if [ -e "$block" ] && block_has "$block" "$item"; then
      pass
    else
      fail "$name, command $n: [$item]"
      [ -e "$block" ] && grep -v '^log\[3 DETAILS\]' "$block" | head -n 12 | sed 's/^/    | /'
    fi
  done <"$dir/expect"
}

flow() {
  flow_start "$1" && flow_finish "$1"
}

# signal NAME: the host path of a file that a "wait" in a flow waits for; make_signal NAME makes it.
signal() { host_path "$work/signals/$1"; }
make_signal() { : >"$work/signals/$1"; }

# check_log TEXT: a line of the debug log written since flows_start (without its time stamp).
check_log() {
  # grep reads to the end (no -q): an early exit would fail the pipe under pipefail.
  if tail -c +"$((LOG_START + 1))" "$DEBUG_LOG" 2>/dev/null | tr -d '\r' | sed 's/^[0-9:.]*  //' |
    grep -xF -- "$1" >/dev/null; then
    pass
  else
    fail "debug log: no line [$1]"
  fi
}

# ---- The flows ----------------------------------------------------------------------------------

# Both devices' folders, the HackRF's message, and the debug log of it all.
flow_browse() {
  flow browse <<EOF
ls "$ROOT"                  | d 0 - $PP_NAME | d 0 - $FZ_NAME | d 0 - $HACKRF_NAME
ls "$PP"                    | $CONNECT$PP_NAME | - 25 - sample.txt | - 32 - my file.txt | d 0 - APPS
                            | - $BIG - big.bin | ls: 4 entries
ls "$PP\\APPS"              | - 4 - app.bin | ls: 1 entry | !log[1 CONNECT]*
                            | ${DETAILS}GetDevice: cached device found
ls "$FZ"                    | $CONNECT$FZ_NAME | d 0 - int | d 0 - ext | ls: 2 entries
ls "$FZ\\ext"               | d 0 - subghz | - $BIG - big.bin | ls: 2 entries
ls "$FZ\\ext\\subghz"       | - 34 - My Garage.sub | ls: 1 entry
ls "$FZ\\int"               | - 5 - note.txt | ls: 1 entry
ls "$HACKRF"                | ${DETAILS}GetDevice: kind not openable, returning nil | ls: path not found
                            | request[8 MsgOK] Quarnel: Verbindung zu "$HACKRF_NAME" fehlgeschlagen.\r\n => TRUE
ls "$FZ\\ext\\nowhere"      | ${ERROR}ListDir failed: * | $NOT_FOUND
ls "\\\\x"                  | $NOT_FOUND | !request*
EOF
  check_log "GetDevice: CreateDeviceForPort VID=1D50 PID=6018"
  check_log "GetDevice: Connect OK, version=PortaPack/Mayhem"
  check_log "GetDevice: CreateDeviceForPort VID=0483 PID=5740"
  check_log "GetDevice: Connect OK, version=Flipper Zero"
  check_log "FsFindFirst: ListDir OK, 4 entries"
}

# What the panel shows of PortaPack files, whose listing has names only: the size of each file,
# asked after the listing, up to the number of files the setting PortapackSizes allows (5 here):
# a folder with more files shows them with 0 bytes, and one detail line says why. A file whose
# size the card does not give shows 0 bytes, and the listing goes on.
flow_panel_sizes() {
  local sizes=$work/sd/pp/SIZES many=$work/sd/pp/MANY i
  mkdir -p "$sizes" "$many"
  : >"$sizes/empty.bin"
  printf 'x' >"$sizes/one.bin"
  random_file "$sizes/capture.C16" 70000
  random_file "$sizes/big.bin" 1048576
  printf 'unreadable\n' >"$sizes/unreadable.bin"
  for i in 1 2 3 4 5 6; do printf 'file %s\n' $i >"$many/f$i.txt"; done
  printf '[Other]\r\nPortapackSizes=1\r\n[Quarnel]\r\nPortapackSizes=5\r\n' >"$work/five.ini"
  FLOW_INI=$work/five.ini flow panel-sizes <<EOF
ls "$ROOT"
ls "$PP\\SIZES"           | - 0 - empty.bin | - 1 - one.bin | - 70000 - capture.C16
                          | - 1048576 - big.bin | - 0 - unreadable.bin | ls: 5 entries
                          | ${DETAILS}portapack size of unreadable.bin unknown, shown as 0: *
                          | !${DETAILS}portapack sizes:*
ls "$PP\\MANY"            | - 0 - f1.txt | - 0 - f6.txt | ls: 6 entries
                          | ${DETAILS}portapack sizes: 6 files in /MANY, more than the 5 whose sizes are asked (PortapackSizes); they show 0 bytes
EOF
  check_log "Settings: PortapackSizes=5"
}

# The size matrix, up and down, byte-exact, with progress: Dir is a folder of a device, Tag names
# the run, Store is the device's storage folder behind Dir.
SIZES=(0 1 511 512 513 8192 8193 32768 32769 70000 1048583)
flow_sizes() {
  local dir=$1 tag=$2 store=$3 size lfile rfile
  for size in "${SIZES[@]}"; do
    [ -e "$work/local/size-$size.bin" ] || random_file "$work/local/size-$size.bin" "$size"
  done
  {
    echo "ls \"$ROOT\""
    for size in "${SIZES[@]}"; do
      lfile=${L}size-$size.bin rfile=$dir\\s$size.bin
      echo "put \"$lfile\" \"$rfile\" | FsPutFile: FS_FILE_OK"
      [ "$size" -gt 0 ] && echo "  | progress 100% $lfile -> $rfile"
    done
    for size in "${SIZES[@]}"; do
      lfile=${L}$tag-$size.bin rfile=$dir\\s$size.bin
      echo "get \"$rfile\" \"$lfile\" | FsGetFile: FS_FILE_OK"
      [ "$size" -gt 0 ] && echo "  | progress 100% $rfile -> $lfile"
    done
  } >"$work/flows/sizes-$tag.flow"
  flow "sizes-$tag" <"$work/flows/sizes-$tag.flow"
  for size in "${SIZES[@]}"; do
    check "$tag: upload of $size bytes" same_bytes "$work/local/size-$size.bin" "$store/s$size.bin"
    check "$tag: download of $size bytes" same_bytes "$work/local/size-$size.bin" \
      "$work/local/$tag-$size.bin"
  done
}

# Aborts in both directions on both devices: FS_FILE_USERABORT, the important-error line, no
# partial local file, a moved source kept, and a device that answers right afterwards.
flow_aborts() {
  cp "$work/local/up.bin" "$work/local/up-keep.bin"
  flow aborts <<EOF
ls "$ROOT"
get --abort-at=50 "$PP\\big.bin" "${L}abort-pp.bin"       | FsGetFile: FS_FILE_USERABORT
                                                          | ${ERROR}GetFile: User abort | progress *
put --abort-at=50 "${L}up.bin" "$PP\\abort-up.bin"        | FsPutFile: FS_FILE_USERABORT
                                                          | ${ERROR}PutFile: User abort
ls "$PP"                                                  | - 25 - sample.txt | d 0 - APPS
                                                          | - $BIG - big.bin
get --abort-at=50 "$FZ\\ext\\big.bin" "${L}abort-fz.bin"  | FsGetFile: FS_FILE_USERABORT
                                                          | ${ERROR}GetFile: User abort
put --abort-at=50 "${L}up.bin" "$FZ\\ext\\abort-up.bin"   | FsPutFile: FS_FILE_USERABORT
                                                          | ${ERROR}PutFile: User abort
ls "$FZ\\ext"                                             | d 0 - subghz | - $BIG - big.bin
get --move --abort-at=0 "$PP\\sample.txt" "${L}abort-move.txt"  | FsGetFile: FS_FILE_USERABORT
put --move --abort-at=0 "${L}up-keep.bin" "$FZ\\ext\\kept.bin"  | FsPutFile: FS_FILE_USERABORT
get "$FZ\\ext\\big.bin" "${L}after-abort.bin"             | FsGetFile: FS_FILE_OK
EOF
  check "get abort (PortaPack): no partial local file" absent "$work/local/abort-pp.bin"
  check "get abort (Flipper): no partial local file" absent "$work/local/abort-fz.bin"
  check "get abort at 0: no local file" absent "$work/local/abort-move.txt"
  check "aborted get --move keeps the remote file" test -e "$work/sd/pp/sample.txt"
  check "aborted put --move keeps the local file" test -e "$work/local/up-keep.bin"
  check "a download right after aborts" same_bytes "$work/sd/fz/ext/big.bin" \
    "$work/local/after-abort.bin"
}

# An overwriting download that the user aborts keeps the file it would have replaced, byte for
# byte, and leaves nothing beside it; one that completes replaces it. Remote is a file on one
# device, Tag names the run, Store is the remote file in the device's storage.
flow_aborted_overwrite() {
  local remote=$1 tag=$2 store=$3
  local kept=keep-$tag.txt replaced=replace-$tag.txt
  mkdir -p "$work/old"
  printf 'the older %s report, still wanted\n' "$tag" >"$work/old/$tag.txt"
  cp "$work/old/$tag.txt" "$work/local/$kept"
  cp "$work/old/$tag.txt" "$work/local/$replaced"
  flow "overwrite-$tag" <<EOF
ls "$ROOT"
get --overwrite --abort-at=50 "$remote" "${L}$kept"       | FsGetFile: FS_FILE_USERABORT
                                                          | ${ERROR}GetFile: User abort
                                                          | progress 0% $remote -> ${L}$kept
get --resume --abort-at=0 "$remote" "${L}$kept"           | FsGetFile: FS_FILE_USERABORT
get --overwrite --move --abort-at=99 "$remote" "${L}$kept" | FsGetFile: FS_FILE_USERABORT
get "$remote" "${L}$kept"                                 | FsGetFile: FS_FILE_EXISTS
get --overwrite "$remote" "${L}$replaced"                 | FsGetFile: FS_FILE_OK
                                                          | progress 100% $remote -> ${L}$replaced
EOF
  check "$tag: an aborted overwrite keeps the old file" same_bytes "$work/old/$tag.txt" \
    "$work/local/$kept"
  check "$tag: a complete overwrite replaces it" same_bytes "$store" "$work/local/$replaced"
  check "$tag: the aborted move keeps the remote file" test -e "$store"
  check "$tag: nothing left beside the target" no_staging_files
}

# No download left a file of its own in the local folder.
no_staging_files() {
  local left
  left=$(find "$work/local" -name '~quarnel-*')
  [ -z "$left" ] || { echo "left: $left"; return 1; }
}

# Existing targets without flags, then with --overwrite; --move in both directions.
flow_exists_and_move() {
  printf 'old local\n' >"$work/local/exists.txt"
  printf 'new remote\n' >"$work/local/new.txt"
  printf 'to move up\n' >"$work/local/move-up-pp.txt"
  printf 'to move up\n' >"$work/local/move-up-fz.txt"
  printf 'to move down\n' >"$work/sd/pp/move-down.txt"
  printf 'to move down\n' >"$work/sd/fz/ext/move-down.txt"
  flow exists <<EOF
ls "$ROOT"
get "$PP\\sample.txt" "${L}exists.txt"                    | FsGetFile: FS_FILE_EXISTS | !progress*
put "${L}new.txt" "$PP\\sample.txt"                       | FsPutFile: FS_FILE_EXISTS | !progress*
get "$FZ\\int\\note.txt" "${L}exists.txt"                 | FsGetFile: FS_FILE_EXISTS
put "${L}new.txt" "$FZ\\int\\note.txt"                    | FsPutFile: FS_FILE_EXISTS
get --overwrite "$PP\\sample.txt" "${L}exists.txt"        | FsGetFile: FS_FILE_OK
put --overwrite "${L}new.txt" "$FZ\\int\\note.txt"        | FsPutFile: FS_FILE_OK
put --overwrite "${L}new.txt" "$PP\\APPS\\app.bin"        | FsPutFile: FS_FILE_OK
get --overwrite "$FZ\\ext\\subghz\\My Garage.sub" "${L}new.txt" | FsGetFile: FS_FILE_OK
get --move "$PP\\move-down.txt" "${L}moved-pp.txt"        | FsGetFile: FS_FILE_OK
get --move "$FZ\\ext\\move-down.txt" "${L}moved-fz.txt"   | FsGetFile: FS_FILE_OK
put --move "${L}move-up-pp.txt" "$PP\\moved-up.txt"       | FsPutFile: FS_FILE_OK
put --move "${L}move-up-fz.txt" "$FZ\\ext\\moved-up.txt"  | FsPutFile: FS_FILE_OK
ls "$PP"                                                  | - 11 - moved-up.txt | !- 13 - move-down.txt
ls "$FZ\\ext"                                             | - 11 - moved-up.txt | !- 13 - move-down.txt
EOF
  check "get --overwrite replaced the local file" same_bytes "$work/sd/pp/sample.txt" \
    "$work/local/exists.txt"
  check "put --overwrite (PortaPack)" grep -qx 'new remote' "$work/sd/pp/APPS/app.bin"
  check "put --overwrite (Flipper)" grep -qx 'new remote' "$work/sd/fz/int/note.txt"
  check "get --overwrite (Flipper)" same_bytes "$work/sd/fz/ext/subghz/My Garage.sub" \
    "$work/local/new.txt"
  check "get --move (PortaPack): remote deleted" absent "$work/sd/pp/move-down.txt"
  check "get --move (Flipper): remote deleted" absent "$work/sd/fz/ext/move-down.txt"
  check "get --move (PortaPack): local copy" grep -qx 'to move down' "$work/local/moved-pp.txt"
  check "get --move (Flipper): local copy" grep -qx 'to move down' "$work/local/moved-fz.txt"
  check "put --move (PortaPack): local deleted" absent "$work/local/move-up-pp.txt"
  check "put --move (Flipper): local deleted" absent "$work/local/move-up-fz.txt"
  check "put --move (PortaPack): remote copy" grep -qx 'to move up' "$work/sd/pp/moved-up.txt"
  check "put --move (Flipper): remote copy" grep -qx 'to move up' "$work/sd/fz/ext/moved-up.txt"
}

# Renames inside a device (names with blanks included), across devices, and the folder operations.
flow_rename_and_folders() {
  printf 'rename me\n' >"$work/sd/pp/rename me.txt"
  printf 'rename me\n' >"$work/sd/fz/ext/rename me.txt"
  flow rename <<EOF
ls "$ROOT"
mv "$PP\\rename me.txt" "$PP\\APPS\\renamed file.txt"     | FsRenMovFile: FS_FILE_OK
mv "$PP\\APPS\\renamed file.txt" "$PP\\sample.txt"        | FsRenMovFile: FS_FILE_EXISTS
mv "$FZ\\ext\\rename me.txt" "$FZ\\int\\renamed file.txt" | FsRenMovFile: FS_FILE_OK
mv "$FZ\\int\\renamed file.txt" "$FZ\\int\\note.txt"      | FsRenMovFile: FS_FILE_EXISTS
mv --overwrite "$FZ\\int\\renamed file.txt" "$FZ\\int\\note.txt" | FsRenMovFile: FS_FILE_OK
mv "$PP\\my file.txt" "$FZ\\ext\\my file.txt"             | FsRenMovFile: FS_FILE_NOTSUPPORTED
mv "$PP" "\\PortaPack (renamed)"                          | FsRenMovFile: FS_FILE_NOTSUPPORTED
mkdir "$PP\\NEW DIR"                                      | FsMkDir: TRUE
mkdir "$PP\\NEW DIR"                                      | FsMkDir: TRUE
mkdir "$FZ\\ext\\new dir"                                 | FsMkDir: TRUE
mkdir "$FZ\\ext\\new dir"                                 | FsMkDir: TRUE
mkdir "\\no device here"                                  | FsMkDir: FALSE
ls "$PP"                                                  | d 0 - NEW DIR
ls "$PP\\NEW DIR"                                         | ls: 0 entries
  | FsFindFirst: INVALID_HANDLE_VALUE, last error 18 (ERROR_NO_MORE_FILES)
ls "$FZ\\ext\\new dir"                                    | ls: 0 entries
  | FsFindFirst: INVALID_HANDLE_VALUE, last error 18 (ERROR_NO_MORE_FILES)
rmdir "$PP\\NEW DIR"                                      | FsRemoveDir: TRUE
rmdir "$PP\\NEW DIR"                                      | FsRemoveDir: FALSE | ${ERROR}RmDir: *
rmdir "$FZ\\ext\\new dir"                                 | FsRemoveDir: TRUE
rmdir "$FZ\\ext\\new dir"                                 | FsRemoveDir: FALSE | ${ERROR}RmDir: *
rm "$PP\\APPS\\app.bin"                                   | FsDeleteFile: TRUE
rm "$PP\\APPS\\app.bin"                                   | FsDeleteFile: FALSE | ${ERROR}Delete: *
rm "$FZ\\ext\\subghz\\My Garage.sub"                      | FsDeleteFile: TRUE
rm "$FZ\\ext\\subghz\\My Garage.sub"                      | FsDeleteFile: FALSE | ${ERROR}Delete: *
ls "$FZ\\ext\\subghz"                                     | !- 34 - My Garage.sub | !ls: path not found
EOF
  check "rename (PortaPack): new name" grep -qx 'rename me' "$work/sd/pp/APPS/renamed file.txt"
  check "rename (PortaPack): old name gone" absent "$work/sd/pp/rename me.txt"
  check "rename (Flipper) with overwrite" grep -qx 'rename me' "$work/sd/fz/int/note.txt"
  check "rename (Flipper): old name gone" absent "$work/sd/fz/int/renamed file.txt"
  check "rename across devices moved nothing" test -e "$work/sd/pp/my file.txt"
  check "rmdir (PortaPack)" absent "$work/sd/pp/NEW DIR"
  check "rmdir (Flipper)" absent "$work/sd/fz/ext/new dir"
  check "delete (PortaPack)" absent "$work/sd/pp/APPS/app.bin"
  check "delete (Flipper)" absent "$work/sd/fz/ext/subghz/My Garage.sub"
}

# Names with blanks both ways: "my file.txt" on the PortaPack, "My Garage.sub" on the Flipper.
flow_blanks() {
  printf 'garage\n' >"$work/local/My Garage.sub"
  flow blanks <<EOF
ls "$ROOT"
get "$PP\\my file.txt" "${L}my file.txt"                  | FsGetFile: FS_FILE_OK
                                                          | progress 100% $PP\\my file.txt -> ${L}my file.txt
put "${L}My Garage.sub" "$FZ\\ext\\subghz\\My Garage.sub" | FsPutFile: FS_FILE_OK
put "${L}my file.txt" "$PP\\APPS\\my file.txt"            | FsPutFile: FS_FILE_OK
get "$FZ\\ext\\subghz\\My Garage.sub" "${L}My Garage back.sub" | FsGetFile: FS_FILE_OK
ls "$PP\\APPS"                                            | - 32 - my file.txt
ls "$FZ\\ext\\subghz"                                     | - 7 - My Garage.sub
EOF
  check "blank name down (PortaPack)" same_bytes "$work/sd/pp/my file.txt" "$work/local/my file.txt"
  check "blank name up (PortaPack)" same_bytes "$work/sd/pp/my file.txt" \
    "$work/sd/pp/APPS/my file.txt"
  check "blank name up (Flipper)" same_bytes "$work/local/My Garage.sub" \
    "$work/sd/fz/ext/subghz/My Garage.sub"
  check "blank name down (Flipper)" same_bytes "$work/local/My Garage.sub" \
    "$work/local/My Garage back.sub"
}

# FsDisconnect with DISCONNECT, a reconnect with CONNECT, and a root that was not connected.
flow_disconnect() {
  flow disconnect <<EOF
ls "$ROOT"
ls "$PP"                    | $CONNECT$PP_NAME
ls "$FZ"                    | $CONNECT$FZ_NAME
disconnect "$PP"            | FsDisconnect: TRUE | $DISCONNECT$PP_NAME
disconnect "$PP"            | FsDisconnect: TRUE | !log[2 DISCONNECT]*
ls "$PP\\APPS"              | $CONNECT$PP_NAME | - 32 - my file.txt
ls "$FZ\\int"               | !log[1 CONNECT]* | ls: 1 entry
disconnect "$FZ"            | FsDisconnect: TRUE | $DISCONNECT$FZ_NAME
get "$FZ\\int\\note.txt" "${L}reconnected.txt" | $CONNECT$FZ_NAME | FsGetFile: FS_FILE_OK
EOF
  check_log "DisconnectDevice: disconnected $PP_NAME"
  check_log "DisconnectDevice: disconnected $FZ_NAME"
}

# A simulator goes away while its device is connected: the next root listing sweeps it out.
flow_stale() {
  local gone name
  gone=$(portapack_dir $SLOT_GONE)
  name=${gone#\\}
  flow_start stale <<EOF
ls "$ROOT"                  | d 0 - $name
ls "$gone"                  | $CONNECT$name | - 10 - left.txt
wait "$(signal gone)"
ls "$ROOT"                  | ${DETAILS}ListRoot: stale device on $(port_name $SLOT_GONE) - disconnecting
                            | $DISCONNECT$name | !d 0 - $name | d 0 - $PP_NAME
ls "$gone"                  | ${DETAILS}GetDevice: kind not openable, returning nil
                            | request[8 MsgOK] Quarnel: Verbindung zu "$name" fehlgeschlagen.\r\n => TRUE
EOF
  flow_wait_line stale "> wait" &&
    bash "$REPO/scripts/sim-devices.sh" stop "$work/state/gone" >/dev/null
  make_signal gone
  flow_finish stale
  check_log "ListRoot: stale device on $(port_name $SLOT_GONE) - disconnecting"
}

# A port that another program holds: the connect fails with "Cannot open", and the message names
# other programs.
flow_busy() {
  local busy name port
  busy=$(portapack_dir $SLOT_BUSY)
  name=${busy#\\}
  port=$(port_name $SLOT_BUSY)
  hold_port $SLOT_BUSY || return
  flow busy <<EOF
ls "$ROOT"                  | d 0 - $name
ls "$busy"                  | ${DETAILS}GetDevice: Connect FAILED: Cannot open $port | ls: path not found
                            | request[8 MsgOK] Quarnel: Verbindung fehlgeschlagen:\r\nCannot open $port\r\n\r\nDer Port wird moeglicherweise von einer anderen\r\nAnwendung verwendet (z.B. Arduino IDE, PuTTY). => TRUE
get "$busy\\x.bin" "${L}busy.bin" | FsGetFile: FS_FILE_NOTFOUND
EOF
  release_port $SLOT_BUSY
  check "no local file from a busy port" absent "$work/local/busy.bin"
  check_log "GetDevice: Connect FAILED: Cannot open $port"
}

# Silent devices and lines dropped mid-transfer: each operation fails with its line in the log
# window and leaves no local file, and the root listing afterwards is right. (Whether a dropped
# device leaves the listing depends on its pseudo-terminal's number not being taken by another
# program meanwhile, so flow_stale shows the sweep instead.)
flow_silent_and_dropped() {
  local silent_pp silent_fz drop_get_pp drop_get_fz drop_put_pp drop_put_fz silent_pp_name name
  silent_pp=$(portapack_dir $SLOT_SILENT_PP)
  silent_fz=$(flipper_dir $SLOT_SILENT_FZ Mute)
  drop_get_pp=$(portapack_dir $SLOT_DROP_GET_PP)
  drop_get_fz=$(flipper_dir $SLOT_DROP_GET_FZ DropGet)
  drop_put_pp=$(portapack_dir $SLOT_DROP_PUT_PP)
  drop_put_fz=$(flipper_dir $SLOT_DROP_PUT_FZ DropPut)
  silent_pp_name=${silent_pp#\\}
  mkdir -p "$work/old"
  for name in drop-pp drop-fz; do
    printf 'the older %s, still wanted\n' "$name" >"$work/old/$name.bin"
    cp "$work/old/$name.bin" "$work/local/$name.bin"
  done
  flow faults-line <<EOF
ls "$ROOT"
ls "$silent_pp"             | ${ERROR}ListDir failed: No answer from device | ls: path not found
get "$silent_pp\\big.bin" "${L}silent-pp.bin"         | FsGetFile: FS_FILE_READERROR
                                                      | ${ERROR}GetFile: File not found: \\big.bin
put "${L}up.bin" "$silent_pp\\up.bin"                 | FsPutFile: FS_FILE_WRITEERROR | ${ERROR}PutFile: *
ls "$silent_fz\\ext"        | ${ERROR}ListDir failed: * | ls: path not found
get "$silent_fz\\ext\\big.bin" "${L}silent-fz.bin"    | FsGetFile: FS_FILE_READERROR | ${ERROR}GetFile: *
get --overwrite "$drop_get_pp\\big.bin" "${L}drop-pp.bin" | FsGetFile: FS_FILE_READERROR
                                                      | ${ERROR}GetFile: frb: expected 32768 got *
get --overwrite "$drop_get_fz\\ext\\big.bin" "${L}drop-fz.bin" | FsGetFile: FS_FILE_READERROR
                                                      | ${ERROR}GetFile: read_chunks: *
put "${L}up.bin" "$drop_put_pp\\up.bin"               | FsPutFile: FS_FILE_WRITEERROR | ${ERROR}PutFile: *
put "${L}up.bin" "$drop_put_fz\\ext\\up.bin"          | FsPutFile: FS_FILE_WRITEERROR
                                                      | ${ERROR}PutFile: write_chunk: *
ls "$ROOT"                  | d 0 - $silent_pp_name | d 0 - $PP_NAME
EOF
  for name in silent-pp silent-fz; do
    check "$name: no partial local file" absent "$work/local/$name.bin"
  done
  for name in drop-pp drop-fz; do
    check "$name: the overwritten file is kept" same_bytes "$work/old/$name.bin" \
      "$work/local/$name.bin"
  done
  check "no file of a broken download left" no_staging_files
  check "the local file of a failed upload is kept" test -e "$work/local/up.bin"
  check_log "FsFindFirst: ListDir FAILED: No answer from device"
}

# Devices that answer transfers with an error: the operation fails with the device's words, no
# local file is left, and the device answers the next command. The failed upload comes last: the
# PortaPack's shell reads the rest of a refused block as command input, and a binary block may end
# the shell (Ctrl-D).
flow_error_answers() {
  local error_pp error_fz
  error_pp=$(portapack_dir $SLOT_ERROR_PP)
  error_fz=$(flipper_dir $SLOT_ERROR_FZ Err)
  flow faults-error <<EOF
ls "$ROOT"
get "$error_pp\\big.bin" "${L}error-pp.bin"           | FsGetFile: FS_FILE_READERROR
                                                      | ${ERROR}GetFile: frb: *
ls "$error_pp"                                        | - $BIG - big.bin
put "${L}up.bin" "$error_pp\\up.bin"                  | FsPutFile: FS_FILE_WRITEERROR | ${ERROR}PutFile: *
get "$error_fz\\ext\\big.bin" "${L}error-fz.bin"      | FsGetFile: FS_FILE_READERROR
                                                      | ${ERROR}GetFile: Storage error: internal error
put "${L}up.bin" "$error_fz\\ext\\up.bin"             | FsPutFile: FS_FILE_WRITEERROR
                                                      | ${ERROR}PutFile: write_chunk: unexpected response: Storage error: internal error
ls "$error_fz\\ext"                                   | - $BIG - big.bin
EOF
  check "error answer (PortaPack): no local file" absent "$work/local/error-pp.bin"
  check "error answer (Flipper): no local file" absent "$work/local/error-fz.bin"
}

# The bytes of File with its byte At inverted, on standard output.
flipped_byte() {
  local file=$1 at=$2 byte
  byte=$(od -An -tu1 -j "$at" -N1 "$file")
  head -c "$at" "$file"
  printf "\\$(printf '%03o' $((255 - byte)))"
  tail -c +$((at + 2)) "$file"
}

# Verified copies: a byte that the link changed fails the transfer. The download keeps the local
# file it would have replaced and leaves nothing beside it; the upload is a write error whose line
# says that the copy on the device differs (the device keeps that copy). Each line names the file
# and both checksums; the next copy goes through, checked. A PortaPack without "crc32" copies
# unchecked, with one detail line for its connection. With Verify=0 no checksum is asked at all.
flow_verify() {
  local flip_pp flip_fz old_pp name md5_card md5_local md5_card_changed md5_local_changed
  flip_pp=$(portapack_dir $SLOT_FLIP_PP)
  flip_fz=$(flipper_dir $SLOT_FLIP_FZ Flip)
  old_pp=$(portapack_dir $SLOT_OLD_PP)
  mkdir -p "$work/old"
  for name in flip-pp flip-fz; do
    printf 'the older %s copy, still wanted\n' "$name" >"$work/old/$name.bin"
    cp "$work/old/$name.bin" "$work/local/$name.bin"
  done
  md5_card=$(md5sum <"$work/sd/$SLOT_FLIP_FZ/ext/f.bin" | cut -d' ' -f1)
  md5_local=$(md5sum <"$work/local/flip.bin" | cut -d' ' -f1)
  # What crosses the links: each file with its byte 100 inverted.
  md5_card_changed=$(flipped_byte "$work/sd/$SLOT_FLIP_FZ/ext/f.bin" 100 | md5sum | cut -d' ' -f1)
  md5_local_changed=$(flipped_byte "$work/local/flip.bin" 100 | md5sum | cut -d' ' -f1)
  local differs="The copy on the device differs from the local file:"
  local nocrc="portapack: this firmware has no crc32 command"
  flow verify <<EOF
ls "$ROOT"
get --overwrite "$flip_pp\\f.bin" "${L}flip-pp.bin"          | FsGetFile: FS_FILE_READERROR
  | ${ERROR}GetFile: The copy of /f.bin differs from the file on the device (CRC32 on the device 0x*
put "${L}flip.bin" "$flip_pp\\up.bin"                        | FsPutFile: FS_FILE_WRITEERROR
  | ${ERROR}PutFile: $differs /up.bin has CRC32 0x*
get --overwrite "$flip_fz\\ext\\f.bin" "${L}flip-fz.bin"     | FsGetFile: FS_FILE_READERROR
  | ${ERROR}GetFile: The copy of /ext/f.bin differs from the file on the device (MD5 on the device $md5_card, of the copy $md5_card_changed); it was not kept
put "${L}flip.bin" "$flip_fz\\ext\\up.bin"                   | FsPutFile: FS_FILE_WRITEERROR
  | ${ERROR}PutFile: $differs /ext/up.bin has MD5 $md5_local_changed on the device, the local file $md5_local
get "$old_pp\\f.bin" "${L}old-pp.bin"                        | FsGetFile: FS_FILE_OK
  | ${DETAILS}$nocrc*
put "${L}flip.bin" "$old_pp\\up.bin"                         | FsPutFile: FS_FILE_OK
  | !${DETAILS}$nocrc*
EOF
  for name in flip-pp flip-fz; do
    check "verify, $name: the failed download kept the old file" same_bytes "$work/old/$name.bin" \
      "$work/local/$name.bin"
  done
  check "verify: nothing left beside the targets" no_staging_files
  check "verify: the PortaPack keeps the differing upload" test \
    "$(stat -c %s "$work/sd/$SLOT_FLIP_PP/up.bin")" = "$FLIP_SIZE"
  check "verify: the Flipper keeps the differing upload" test \
    "$(stat -c %s "$work/sd/$SLOT_FLIP_FZ/ext/up.bin")" = "$FLIP_SIZE"
  check "verify: the old PortaPack's download" same_bytes "$work/sd/$SLOT_OLD_PP/f.bin" \
    "$work/local/old-pp.bin"
  check "verify: the old PortaPack's upload" same_bytes "$work/local/flip.bin" \
    "$work/sd/$SLOT_OLD_PP/up.bin"

  # The links change nothing more: the same copies go through, checked.
  flow verify-again <<EOF
ls "$ROOT"
get --overwrite "$flip_pp\\f.bin" "${L}flip-pp.bin"          | FsGetFile: FS_FILE_OK
  | ${DETAILS}portapack verified /f.bin: CRC32 0x*
put --overwrite "${L}flip.bin" "$flip_pp\\up.bin"            | FsPutFile: FS_FILE_OK
get --overwrite "$flip_fz\\ext\\f.bin" "${L}flip-fz.bin"     | FsGetFile: FS_FILE_OK
  | ${DETAILS}flipper verified /ext/f.bin: MD5 $md5_card
put --overwrite "${L}flip.bin" "$flip_fz\\ext\\up.bin"       | FsPutFile: FS_FILE_OK
  | ${DETAILS}flipper verified /ext/up.bin: MD5 $md5_local
EOF
  check "verify: the PortaPack download" same_bytes "$work/sd/$SLOT_FLIP_PP/f.bin" \
    "$work/local/flip-pp.bin"
  check "verify: the Flipper download" same_bytes "$work/sd/$SLOT_FLIP_FZ/ext/f.bin" \
    "$work/local/flip-fz.bin"
  check "verify: the PortaPack upload" same_bytes "$work/local/flip.bin" \
    "$work/sd/$SLOT_FLIP_PP/up.bin"
  check "verify: the Flipper upload" same_bytes "$work/local/flip.bin" \
    "$work/sd/$SLOT_FLIP_FZ/ext/up.bin"

  printf '[Quarnel]\r\nVerify=0\r\n' >"$work/verify-off.ini"
  FLOW_INI=$work/verify-off.ini flow verify-off <<EOF
ls "$ROOT"
put "${L}flip.bin" "$PP\\unchecked.bin"              | FsPutFile: FS_FILE_OK
  | !${DETAILS}portapack SendCmd: [crc32*
get "$PP\\unchecked.bin" "${L}unchecked-pp.bin"      | FsGetFile: FS_FILE_OK
  | !${DETAILS}portapack SendCmd: [crc32*
put "${L}flip.bin" "$FZ\\ext\\unchecked.bin"         | FsPutFile: FS_FILE_OK
  | !${DETAILS}flipper SendCmd: [storage md5*
get "$FZ\\ext\\unchecked.bin" "${L}unchecked-fz.bin" | FsGetFile: FS_FILE_OK
  | !${DETAILS}flipper SendCmd: [storage md5*
EOF
  check_log "Settings: Verify=0"
  check "verify off: PortaPack copies" same_bytes "$work/local/flip.bin" \
    "$work/local/unchecked-pp.bin"
  check "verify off: Flipper copies" same_bytes "$work/local/flip.bin" \
    "$work/local/unchecked-fz.bin"
}

# Name as the plug-in's functions of the interface Mode (wide or ansi) give it: through the ANSI
# ones, characters the ANSI code page lacks as "?" (two for a character beyond the 16-bit plane,
# one per UTF-16 unit, as Windows converts).
listed_form() {
  local mode=$1 name=$2 out="" c i LC_ALL=C.UTF-8
  if [ "$mode" = wide ] || [ "$ANSI_CP" = 65001 ]; then
    printf '%s\n' "$name"
    return
  fi
  for ((i = 0; i < ${#name}; i++)); do
    c=${name:i:1}
    if printf '%s' "$c" | iconv -f UTF-8 -t "CP$ANSI_CP" >/dev/null 2>&1; then
      out+=$c
    elif [ "$(printf '%s' "$c" | wc -c)" -eq 4 ]; then
      out+='??'
    else
      out+='?'
    fi
  done
  printf '%s\n' "$out"
}

# Names in German, Greek, Japanese and an emoji on the PortaPack, through one interface (wide or
# ansi): listed, downloaded, uploaded, renamed, deleted, a folder made, listed and removed, every
# byte checked. Through the ANSI functions a name the code page lacks is listed with "?" and every
# operation on it is refused, saying why, with nothing changed. A PortaPack name that is not UTF-8
# shows with U+FFFD through the wide functions and is refused. On the Flipper a card name in code
# page 850 is listed right and its download refused with the reason; an ASCII one is fetched.
NAMES=("Grüße.txt" "Ελληνικά.txt" "日本語.txt" "😀.txt")
flow_names() {
  local mode=$1 dir store i name shown lname local_name why
  dir="$PP\\names-$mode" store="$work/sd/pp/names-$mode"
  mkdir -p "$store" "$work/sd/fz/ext/names-$mode"
  for i in "${!NAMES[@]}"; do
    random_file "$store/${NAMES[i]}" $((1000 + i))
    random_file "$work/local/$mode-up-$i.bin" $((2000 + i))
  done
  printf 'transfer\n' >"$work/sd/fz/ext/names-$mode/Überweisung.sub"
  mkdir -p "$work/sd/pp/not-utf8" && printf 'x\n' >"$work/sd/pp/not-utf8/bad$(printf '\xff').txt"
  local long long1 long2 long3
  long=$(printf 'L%.0s' {1..100})
  long1="$FZ\\ext\\names-$mode\\${long}1" long2="$long1\\${long}2" long3="$long2\\${long}3"
  printf 'plain\n' >"$work/sd/fz/ext/names-$mode/plain.sub"
  {
    echo "ls \"$ROOT\""
    printf 'ls "%s" | ls: 4 entries' "$dir"
    for i in "${!NAMES[@]}"; do
      printf ' | - %d - %s' $((1000 + i)) "$(listed_form "$mode" "${NAMES[i]}")"
    done
    echo
    for i in "${!NAMES[@]}"; do
      name=${NAMES[i]} shown=$(listed_form "$mode" "${NAMES[i]}") lname=${L}$mode-${NAMES[i]}
      if [ "$shown" = "$name" ]; then
        echo "get \"$dir\\$name\" \"$lname\"                | FsGetFile: FS_FILE_OK"
        echo "  | progress 100% $dir\\$name -> $lname"
        echo "put \"${L}$mode-up-$i.bin\" \"$dir\\new $name\" | FsPutFile: FS_FILE_OK"
        echo "mv \"$dir\\new $name\" \"$dir\\moved $name\"    | FsRenMovFile: FS_FILE_OK"
        echo "ls \"$dir\"                  | - $((2000 + i)) - moved $name | !- $((2000 + i)) - new $name"
        echo "get \"$dir\\moved $name\" \"${L}$mode-back-$i.bin\" | FsGetFile: FS_FILE_OK"
        echo "rm \"$dir\\moved $name\"                        | FsDeleteFile: TRUE"
        echo "mkdir \"$dir\\$name dir\"                       | FsMkDir: TRUE"
        echo "ls \"$dir\\$name dir\"                          | ls: 0 entries"
        echo "rmdir \"$dir\\$name dir\"                       | FsRemoveDir: TRUE"
      else
        # What the host hands back is the listed name: the "?" in it is refused at once.
        why="Cannot use the name \"$dir\\$shown"
        echo "get \"$dir\\$shown\" \"${L}$mode-$i.bin\"       | FsGetFile: FS_FILE_READERROR"
        echo "  | ${ERROR}GetFile: $why\": \"?\" stands for characters that the ANSI code page $ANSI_CP lacks*"
        echo "put \"${L}$mode-up-$i.bin\" \"$dir\\new $name\" | FsPutFile: FS_FILE_WRITEERROR"
        echo "  | ${ERROR}PutFile: Cannot use the name*"
        echo "mv \"$dir\\$shown\" \"$dir\\moved $name\"       | FsRenMovFile: FS_FILE_WRITEERROR"
        echo "  | ${ERROR}Rename: $why*"
        echo "rm \"$dir\\$shown\"                             | FsDeleteFile: FALSE | ${ERROR}Delete: $why*"
        echo "mkdir \"$dir\\$name dir\"                       | FsMkDir: FALSE | ${ERROR}MkDir: Cannot use the name*"
        echo "rmdir \"$dir\\$shown\"                          | FsRemoveDir: FALSE | ${ERROR}RmDir: $why*"
      fi
    done
    # The card does not tell "ü" from "Ü": a rename that only changes letter case would replace the
    # file with itself and then delete it.
    echo "mv \"$dir\\Grüße.txt\" \"$dir\\GRÜßE.TXT\" | FsRenMovFile: FS_FILE_WRITEERROR"
    echo "  | ${ERROR}Rename: the new name differs only in letter case*"
    echo "ls \"$FZ\\ext\\names-$mode\" | - 9 - $(listed_form "$mode" "Überweisung.sub") | - 6 - plain.sub"
    echo "get \"$FZ\\ext\\names-$mode\\Überweisung.sub\" \"${L}$mode-fz.sub\" | FsGetFile: FS_FILE_READERROR"
    echo "  | ${ERROR}GetFile: Cannot use \"/ext/names-$mode/Überweisung.sub\" on the Flipper: its command line cannot take characters outside ASCII (\"Ü\")*"
    echo "get \"$FZ\\ext\\names-$mode\\plain.sub\" \"${L}$mode-plain.sub\" | FsGetFile: FS_FILE_OK"
    # A card name that is not UTF-8 shows with U+FFFD through the wide functions, and the host
    # cannot give it back: refused, saying why.
    if [ "$mode" = wide ]; then
      echo "ls \"$PP\\not-utf8\"                          | - 2 - bad�.txt | ls: 1 entry"
      echo "get \"$PP\\not-utf8\\bad�.txt\" \"${L}not-utf8.txt\" | FsGetFile: FS_FILE_READERROR"
      echo "  | ${ERROR}GetFile: Cannot use the name \"$PP\\not-utf8\\bad�.txt\": \"�\" stands for bytes of the device's name that are not UTF-8*"
    fi
    # Paths longer than 259 characters reach the device whole through both interfaces.
    echo "mkdir \"$long1\" | FsMkDir: TRUE"
    echo "mkdir \"$long2\" | FsMkDir: TRUE"
    echo "mkdir \"$long3\" | FsMkDir: TRUE"
    echo "ls \"$long3\"    | ls: 0 entries"
  } >"$work/flows/names-$mode.flow"
  flow_options=(--interface "$mode")
  flow "names-$mode" <"$work/flows/names-$mode.flow"
  flow_options=()
  for i in "${!NAMES[@]}"; do
    name=${NAMES[i]} local_name="$work/local/$mode-${NAMES[i]}"
    if [ "$(listed_form "$mode" "$name")" = "$name" ]; then
      check "$mode, $name: download" same_bytes "$store/$name" "$local_name"
      check "$mode, $name: upload and rename" same_bytes "$work/local/$mode-up-$i.bin" \
        "$work/local/$mode-back-$i.bin"
      check "$mode, $name: deleted after the rename" absent "$store/moved $name"
      check "$mode, $name: folder removed" absent "$store/$name dir"
    else
      check "$mode, $name: refused, the card unchanged" test "$(stat -c %s "$store/$name")" = $((1000 + i))
      check "$mode, $name: refused, nothing uploaded" absent "$store/new $name"
      check "$mode, $name: refused, no local file" absent "$work/local/$mode-$i.bin"
    fi
  done
  check "$mode: a rename in letter case only keeps the file" \
    test "$(stat -c %s "$store/Grüße.txt")" = 1000
  check "$mode: Flipper code page 850 name refused, no local file" absent "$work/local/$mode-fz.sub"
  check "$mode: a name that is not UTF-8 refused, no local file" absent "$work/local/not-utf8.txt"
  check "$mode: Flipper ASCII name fetched" grep -qx plain "$work/local/$mode-plain.sub"
  check "$mode: a folder path of ${#long3} characters made whole" \
    test -d "$work/sd/fz/ext/names-$mode/${long}1/${long}2/${long}3"
  # Once FsInitW was called, every line reached the host through the wide callbacks.
  check "$mode: no ANSI callback after FsInitW" \
    bash -c '! grep -q "ANSI callback after FsInitW" "$1"' _ "$work/flows/names-$mode/out"
}

# counted LABEL COMMAND...: runs a flow and notes how many checks it made, for the summary.
flow_counts=()
counted() {
  local label=$1 before=$((checks_passed + checks_failed))
  shift
  "$@"
  flow_counts+=("$label $((checks_passed + checks_failed - before))")
}

# Every flow above, in an order that each flow's starting state relies on.
flows_run_all() {
  counted browse flow_browse
  counted panel-sizes flow_panel_sizes
  counted sizes-pp flow_sizes "$PP" pp "$work/sd/pp"
  counted sizes-fz flow_sizes "$FZ\\ext" fz "$work/sd/fz/ext"
  counted aborts flow_aborts
  counted overwrite-abort-pp flow_aborted_overwrite "$PP\\big.bin" pp "$work/sd/pp/big.bin"
  counted overwrite-abort-fz flow_aborted_overwrite "$FZ\\ext\\big.bin" fz "$work/sd/fz/ext/big.bin"
  counted exists-move flow_exists_and_move
  counted rename-folders flow_rename_and_folders
  counted blanks flow_blanks
  counted disconnect flow_disconnect
  counted stale flow_stale
  counted busy flow_busy
  counted silent-dropped flow_silent_and_dropped
  counted error-answers flow_error_answers
  counted verify flow_verify
  counted names-wide flow_names wide
  counted names-ansi flow_names ansi
}

# flows_summary: the checks per flow and in all; false when any check failed.
flows_summary() {
  local joined
  joined=$(printf '%s, ' "${flow_counts[@]}")
  echo "device flows per flow: ${joined%, }"
  if [ "$checks_failed" -eq 0 ]; then
    echo "device flows: $checks_passed checks passed"
    return 0
  fi
  echo "device flows: $checks_failed of $((checks_passed + checks_failed)) checks FAILED"
  return 1
}
