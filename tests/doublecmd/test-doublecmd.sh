#!/usr/bin/env bash
# The Linux plug-in in a real host: Debian's Double Commander under Xvfb, driven with the keyboard as
# a user would. It opens the plug-in from the "//" list (the virtual file system list, bound to a
# key here because it has none by default), enters the PortaPack's folder, where the file shows its
# size, copies the file to a local folder (F5, Enter) while its progress is watched in the title of
# the copy window, copies another one back, then a file with a Greek and German name (which Double
# Commander reaches through the plug-in's wide functions) to the local folder, and fails unless the
# bytes and the names are right. Copies run in the background (the plug-in's setting), so that
# while a large download runs the other panel opens the same PortaPack's folder and lists it.
# Simulated devices on pseudo-terminals stand behind a fake sysfs tree. The screenshots it takes are
# kept in OUT (default BUILD/doublecmd-shots). Every process it starts is ended by its PID.
#
#   test-doublecmd.sh BUILD [OUT]      BUILD holds quarnel.wfx and devsim (build/linux)
set -uo pipefail
build=$(cd "${1:?usage: test-doublecmd.sh BUILD [OUT]}" && pwd)
shots=${2:-$build/doublecmd-shots}
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
xvfb_pid="" dc_pid=""
started=$(date +%s)

stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}
cleanup() {
  stop_pid "$dc_pid"
  stop_pid "$xvfb_pid"
  bash "$repo/scripts/sim-devices.sh" stop "$work/state" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
checks=0
fail() {
  echo "FAIL: $*"
  shot "failure"
  [ -f "$work/tmp/quarnel.log" ] && tail -n 20 "$work/tmp/quarnel.log" | tr -d '\r' | sed 's/^/  log: /'
  [ -s "$work/dc.log" ] && tail -n 20 "$work/dc.log" | sed 's/^/  doublecmd: /'
  [ -s "$work/xvfb.log" ] && tail -n 10 "$work/xvfb.log" | sed 's/^/  Xvfb: /'
  exit 1
}
pass() { checks=$((checks + 1)); echo "ok: $*"; }

for tool in doublecmd Xvfb xdotool import; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh installs it)"
done
rm -rf "$shots"
mkdir -p "$shots" "$work/cfg" "$work/home" "$work/tmp" "$work/local" "$work/sd/APPS" \
  "$work/flipper/ext/subghz"

# ---- The devices: a PortaPack with one binary file, a Flipper and a HackRF ---------------------
# The PortaPack's link is slow (50000 bytes a second), so that its download takes a few seconds;
# one of its 32 KiB blocks still takes less than the second a listing waits for its turn.
head -c 150000 /dev/urandom >"$work/sd/capture.bin"
# Sorted after every Latin name; Xvfb's DejaVu font has the Greek letters.
unicode_name="Ωμέγα Grüße.bin"
head -c 45000 /dev/urandom >"$work/sd/$unicode_name"
printf 'Filetype: Flipper SubGhz Key File\n' >"$work/flipper/ext/subghz/garage.sub"
head -c 33000 /dev/urandom >"$work/local/upload.bin"
bash "$repo/scripts/sim-devices.sh" start-linux "$work/state" "$build/devsim" "$work/sys" \
  "$work/dev" "portapack,0,$work/sd,,--rate,50000" "flipper,1,$work/flipper,Test1" hackrf,2 >/dev/null ||
  fail "simulators did not start"

# ---- An X display of our own -------------------------------------------------------------------
display=""
for n in $(seq 77 120); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then display=":$n"; break; fi
  stop_pid "$xvfb_pid"
  xvfb_pid=""
done
[ -n "$display" ] || fail "no X display could be started"
export DISPLAY=$display

shot_number=0
shot() {
  [ -n "${DISPLAY:-}" ] || return 0
  shot_number=$((shot_number + 1))
  import -window root "$shots/$(printf '%02d' "$shot_number")-$1.png" 2>/dev/null
}

# Waits up to $1 seconds for a visible window whose name matches $2; prints its id.
wait_window() {
  local seconds=$1 name=$2 id
  for _ in $(seq $((seconds * 10))); do
    id=$(xdotool search --onlyvisible --name "$name" 2>/dev/null | head -n1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
# Keys to the window named $1 (focused first: Xvfb has no window manager).
keys() {
  local name=$1 id
  shift
  id=$(wait_window 20 "$name") || fail "no window '$name' for keys $*"
  xdotool windowfocus --sync "$id" key --delay 120 "$@"
}
# Waits up to $1 seconds until the debug log holds a line containing $2.
wait_log() {
  local seconds=$1 text=$2
  for _ in $(seq $((seconds * 10))); do
    grep -qF -- "$text" "$work/tmp/quarnel.log" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# Waits up to $1 seconds until the debug log holds more than $3 lines containing $2.
wait_log_more() {
  local seconds=$1 text=$2 before=$3
  for _ in $(seq $((seconds * 10))); do
    [ "$(grep -cF -- "$text" "$work/tmp/quarnel.log" 2>/dev/null)" -gt "$before" ] && return 0
    sleep 0.1
  done
  return 1
}
log_count() { grep -cF -- "$1" "$work/tmp/quarnel.log" 2>/dev/null; }
# Waits up to $1 seconds until file $2 has $3 bytes and stays so for half a second.
wait_size() {
  local seconds=$1 file=$2 size=$3
  for _ in $(seq $((seconds * 10))); do
    if [ "$(stat -c %s "$file" 2>/dev/null)" = "$size" ]; then
      sleep 0.5
      [ "$(stat -c %s "$file" 2>/dev/null)" = "$size" ] && return 0
    fi
    sleep 0.1
  done
  return 1
}
start_dc() {
  HOME="$work/home" TMPDIR="$work/tmp" QUARNEL_SYSFS_ROOT="$work/sys" QUARNEL_DEV_ROOT="$work/dev" \
    doublecmd --no-splash --config-dir="$work/cfg" "$@" >>"$work/dc.log" 2>&1 &
  dc_pid=$!
}

# ---- Double Commander's own default configuration, then the plug-in and one key in it ------------
# A first run writes the defaults (doublecmd.xml, shortcuts.scf) when it exits; they are then
# changed rather than written from scratch, so that everything else stays as the user would have it.
start_dc
# Its first start writes to the X server some 200,000 times: 6 to 18 s on two busy
# cores here, and once more than a minute.
wait_window 180 "Double Commander" >/dev/null ||
  fail "Double Commander did not open a window at its first start"
keys "Double Commander" alt+x
for _ in $(seq 150); do kill -0 "$dc_pid" 2>/dev/null || break; sleep 0.1; done
stop_pid "$dc_pid"
dc_pid=""
[ -f "$work/cfg/doublecmd.xml" ] && [ -f "$work/cfg/shortcuts.scf" ] ||
  fail "Double Commander wrote no configuration"
sed -i '/<WfxPlugins>/,/<\/WfxPlugins>/c\    <WfxPlugins>\n      <WfxPlugin Enabled="True">\n        <Name>ChibiOS Devices</Name>\n        <Path>'"$build"'/quarnel.wfx</Path>\n      </WfxPlugin>\n    </WfxPlugins>' \
  "$work/cfg/doublecmd.xml"
sed -i '0,/<Form Name="Main">/s//<Form Name="Main">\n      <Hotkey>\n        <Shortcut>Ctrl+F11<\/Shortcut>\n        <Command>cm_OpenVirtualFileSystemList<\/Command>\n      <\/Hotkey>/' \
  "$work/cfg/shortcuts.scf"
# Double Commander 1.0.10 offers no background choice in its copy dialog: without the setting its
# copies are modal, and the window takes no keys until they end.
printf '[Quarnel]\nBackgroundCopies=2\n' >>"$work/cfg/wfx.ini"
grep -q "$build/quarnel.wfx" "$work/cfg/doublecmd.xml" || fail "plug-in not configured"
grep -q cm_OpenVirtualFileSystemList "$work/cfg/shortcuts.scf" || fail "key not configured"

# ---- The user's session --------------------------------------------------------------------------
start_dc -L "$work/local" -R "$work/local"
main=$(wait_window 180 "Double Commander") || fail "Double Commander did not open a window"
xdotool windowmove "$main" 0 0 windowsize "$main" 1280 800 2>/dev/null
sleep 3  # the window shows before the panels take keys

# The "//" list shows the file-system plug-ins; the first entry below ".." is ours.
for attempt in 1 2 3; do
  keys "Double Commander" ctrl+F11
  sleep 1.5
  [ "$attempt" = 1 ] && shot "virtual-file-systems"
  keys "Double Commander" Home Down Return
  wait_log 10 "FsFindFirst: plugin-root, 3 devices" && break
  [ "$attempt" = 3 ] && fail "the plug-in root was not listed"
  keys "Double Commander" Escape
done
pass "the // list opened the plug-in: 3 devices"
wait_log 5 "=== FsInitW called" || fail "Double Commander did not start the wide functions"
pass "Double Commander called FsInitW"
sleep 1.5
shot "devices"

# Sorted by name: Flipper Zero Test1, HackRF One, PortaPack: the last one is the PortaPack.
keys "Double Commander" End Return
wait_log 30 "FsFindFirst: ListDir OK, 3 entries" || fail "the PortaPack folder was not listed"
pass "entered the PortaPack's folder"
# The shell lists names only; the plug-in asks each file's size (the panel shows 146.5 K).
wait_log 5 "portapack size: name=capture.bin size=150000" || fail "capture.bin was listed without its size"
pass "capture.bin listed with its size, 150000 bytes"
sleep 1
shot "portapack-folder"

# copy_f5 WHAT FROM TO SIZE SHOT-DIALOG SHOT-DONE: F5 on the selected file, Enter in the copy
# dialog; FROM/NAME must arrive as TO/NAME with SIZE identical bytes (NAME is the base of FROM).
copy_f5() {
  local what=$1 from=$2 to=$3 size=$4 name
  name=$(basename "$from")
  keys "Double Commander" F5
  wait_window 20 "Copy file" >/dev/null || fail "no copy dialog for the $what"
  shot "$5"
  keys "Copy file" Return
  wait_size 60 "$to/$name" "$size" || fail "$name did not arrive in $to ($size bytes)"
  cmp -s "$from" "$to/$name" || fail "$what: the bytes of $name differ"
  pass "F5, $what: $name, $size bytes, byte-exact"
  sleep 1.5
  shot "$6"
}

# Download: the folder holds APPS, capture.bin and the Greek name; End Up selects capture.bin.
keys "Double Commander" End Up F5
wait_window 20 "Copy file" >/dev/null || fail "no copy dialog for the download"
shot "copy-to-local"
keys "Copy file" Return
# Double Commander computes a download's progress from the size the listing gave, and shows it in
# the title of its copy window ("46% Copying"); a file listed with 0 bytes never gets past 0%.
moving=""
for _ in $(seq 300); do
  for id in $(xdotool search --onlyvisible --name '^[0-9]+% ' 2>/dev/null); do
    title=$(xdotool getwindowname "$id" 2>/dev/null) || continue
    percent=${title%%%*}
    [[ $percent =~ ^[0-9]+$ ]] && [ "$percent" -ge 1 ] && [ "$percent" -le 99 ] || continue
    [ -z "$moving" ] && shot "download-progress"
    [[ " $moving " == *" $percent% "* ]] || moving="$moving $percent%"
  done
  [ "$(stat -c %s "$work/local/capture.bin" 2>/dev/null)" = 150000 ] && break
  sleep 0.2
done
wait_size 60 "$work/local/capture.bin" 150000 || fail "capture.bin did not arrive (150000 bytes)"
[ -n "$moving" ] || fail "the copy window showed no progress between 1% and 99%"
pass "the download's progress moved:$moving"
cmp -s "$work/sd/capture.bin" "$work/local/capture.bin" || fail "downloaded bytes differ"
pass "F5 from the PortaPack: capture.bin, 150000 bytes, byte-exact"
wait_log 1 "FsStatusInfo: start GET_MULTI_THREAD" || fail "the download did not run in the background"
pass "the download ran in the background (GET_MULTI_THREAD)"
sleep 1
shot "downloaded"

# Upload: to the local panel, whose files are capture.bin and upload.bin; End selects upload.bin.
keys "Double Commander" Tab End
copy_f5 upload "$work/local/upload.bin" "$work/sd" 33000 copy-to-portapack uploaded

# Back to the PortaPack's panel: the Greek and German name sorts last. The copy arrives under the
# name Double Commander shows, so a wrong name in the listing would fail here.
keys "Double Commander" Tab End
copy_f5 "download by its name" "$work/sd/$unicode_name" "$work/local" 45000 unicode-name \
  unicode-downloaded

# ---- Browsing while a large download runs ---------------------------------------------------------
# A file of 600000 bytes takes 12 s over the slow link. While it comes, the right panel opens the
# plug-in and the same PortaPack's folder: the listing takes its turn between two blocks.
head -c 600000 /dev/urandom >"$work/sd/large.bin"
listed=$(log_count "FsFindFirst: ListDir OK, 5 entries")
keys "Double Commander" ctrl+r
wait_log_more 10 "FsFindFirst: ListDir OK, 5 entries" "$listed" || fail "large.bin was not listed"
listed=$(log_count "FsFindFirst: ListDir OK, 5 entries")
sleep 1
# Sorted: APPS, capture.bin, large.bin, upload.bin, the Greek name: End Up Up selects large.bin.
copies=$(log_count "FsStatusInfo: start GET_MULTI_THREAD")
keys "Double Commander" End Up Up F5
wait_window 20 "Copy file" >/dev/null || fail "no copy dialog for the large download"
keys "Copy file" Return
wait_log_more 10 "FsStatusInfo: start GET_MULTI_THREAD" "$copies" ||
  fail "the large download did not start"
sleep 1
# The copy window stays open beside the main window, which still takes keys.
roots=$(log_count "FsFindFirst: plugin-root, 3 devices")
xdotool windowfocus --sync "$main" key --delay 120 Tab ctrl+F11
sleep 1.5
xdotool windowfocus --sync "$main" key --delay 120 Home Down Return
wait_log_more 10 "FsFindFirst: plugin-root, 3 devices" "$roots" ||
  fail "the plug-in root did not open in the other panel during the download"
sleep 1
xdotool windowfocus --sync "$main" key --delay 120 End Return
wait_log_more 10 "FsFindFirst: ListDir OK, 5 entries" "$listed" ||
  fail "the PortaPack's folder was not listed during the download"
[ ! -e "$work/local/large.bin" ] || fail "the download had ended before the listing"
grep -qF "GetDevice: a turn between two blocks of a copy" "$work/tmp/quarnel.log" ||
  fail "the listing did not take a turn between two blocks"
pass "during the download the other panel listed the PortaPack's folder (5 entries)"
# The copy window to the empty lower part of the left panel, so that the shot shows both lists.
for id in $(xdotool search --onlyvisible --name '^[0-9]+% ' 2>/dev/null); do
  xdotool windowmove "$id" 40 440 2>/dev/null
done
sleep 1
shot "browse-while-downloading"
wait_size 60 "$work/local/large.bin" 600000 || fail "large.bin did not arrive (600000 bytes)"
cmp -s "$work/sd/large.bin" "$work/local/large.bin" || fail "the large download's bytes differ"
pass "the large download: 600000 bytes, byte-exact"

keys "Double Commander" alt+x
for _ in $(seq 100); do kill -0 "$dc_pid" 2>/dev/null || break; sleep 0.1; done
echo "doublecmd: $checks checks passed in $(($(date +%s) - started)) s; screenshots in $shots"
