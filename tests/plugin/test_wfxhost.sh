#!/usr/bin/env bash
# The command-line host against the stand-in plug-in (tests/fakeplugin): output formats, result
# names, exit status, CopyFlags and BOOL arguments as the plug-in receives them, callbacks,
# progress and abort, scripts, and the failure paths. Argument: the build folder.
set -uo pipefail
build=$(cd "${1:?usage: test_wfxhost.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A Windows build folder (wfxhost.exe) runs under Wine: then local paths given to the host are
# Windows paths of the same folders (Z: is the Unix root), $lwork below.
if [ -e "$build/wfxhost.exe" ] && [ ! -e "$build/wfxhost" ]; then
  native=0
  if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="$build/wineprefix"
    trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
  fi
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  source "$(dirname "$0")/../../scripts/wine-env.sh"
  ext=wfx target=win32
  [ -e "$build/fakeplugin.wfx64" ] && ext=wfx64 target=win64
  # What Wine says when it could not start a program (not when the program failed).
  wine_start_failure='ShellExecuteEx failed|^wine: (failed to (open|start|load)|could not load)'
  # The output in UTF-8, as on Linux (the console's code page is checked once below).
  host=(quarnel_wine "$target" "$build/wfxhost.exe" --codepage 65001)
  fake="Z:$build/fakeplugin.$ext"
  minimal="Z:$build/fakeplugin_min.$ext"
  lwork="Z:$work"
  for f in "$build/wfxhost.exe" "${fake#Z:}" "${minimal#Z:}"; do
    [ -e "$f" ] || { echo "FAIL: $f not built"; exit 1; }
  done
else
  native=1
  host=("$build/wfxhost")
  fake="$build/fakeplugin.wfx"
  minimal="$build/fakeplugin_min.wfx"
  lwork=$work
  for f in "$host" "$fake" "$minimal"; do
    [ -e "$f" ] || { echo "FAIL: $f not built"; exit 1; }
  done
fi
dev='\Fake (COM1)'
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
  # Once per run: what it printed, so that a fault of the host tells apart from a program that
  # never started.
  if [ -n "${out:-}" ] && [ "${shown:-}" != "$out" ]; then
    shown=$out
    echo "  (exit status $rc; standard output, $(wc -l <"$out") lines:)"
    head -n 20 "$out" | sed 's/^/  | /'
    echo "  (standard error:)"
    head -n 10 "${out%.out}.err" | sed 's/^/  ! /'
  fi
}

# run_host NAME ARGS...: runs wfxhost, keeping stdout in $work/NAME.out, stderr in NAME.err and
# the exit status in $rc. Now and then Wine fails to start a program at all (it says so on standard
# error and exits with 1, before the program has printed or read anything): then it runs once more,
# with a script on standard input ("run -") kept for that.
run_host() {
  local name=$1 attempt input=""
  shift
  out="$work/$name.out"
  [ "${*: -1}" = - ] && input="$work/$name.in" && cat >"$input"
  for attempt in 1 2; do
    if [ -n "$input" ]; then
      "${host[@]}" "$@" <"$input" >"$out" 2>"$work/$name.err"
    else
      "${host[@]}" "$@" >"$out" 2>"$work/$name.err"
    fi
    rc=$?
    [ "$native" = 0 ] && [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ "$attempt" = 1 ] &&
      grep -qE "$wine_start_failure" "$work/$name.err" || break
    echo "note: Wine did not start wfxhost for \"$name\" ($(head -n 1 "$work/$name.err")); once more"
  done
}

expect_rc() {  # expect_rc WANTED CONTEXT
  [ "$rc" -eq "$1" ] || fail "$2: exit status $rc, expected $1 ($(tr '\n' '|' <"$out" | tail -c 400))"
}
expect_line() {  # expect_line LINE CONTEXT: an exact line of the last output
  grep -qFx -- "$1" "$out" || fail "$2: missing line [$1]"
}
expect_no_line() {
  ! grep -qFx -- "$1" "$out" || fail "$2: unexpected line [$1]"
}
expect_count() {  # expect_count N FIXED-TEXT CONTEXT: lines containing the text
  local n
  n=$(grep -cF -- "$2" "$out")
  [ "$n" -eq "$1" ] || fail "$3: $n lines with [$2], expected $1"
}

# --- Start-up and listings: exact output ------------------------------------------------------
run_host list --plugin-nr 7 --ini /x/y.ini "$fake" ls "$dev"
expect_rc 0 "ls device"
cat >"$work/list.want" <<'WANT'
log[3 DETAILS]: FsInit PluginNr=7
log[3 DETAILS]: FsSetDefaultParams size=272 version=2.10 ini=[/x/y.ini]
root: Fake Devices
> ls "\Fake (COM1)"
log[3 DETAILS]: FsStatusInfo START op=1 [\Fake (COM1)] on the host's thread
log[3 DETAILS]: FsFindFirst [\Fake (COM1)]
log[1 CONNECT]: CONNECT \Fake (COM1)
- 5000000000 2023-06-15T12:00:00Z big.bin
d 0 2024-01-02T03:04:05Z docs
d 0 2024-01-02T03:04:05Z empty
- 1 - nomarker.dat
- 1 - notime.dat
- 5 2024-01-02T03:04:05Z small.txt
- 5 2024-01-02T03:04:05Z with blank.txt
ls: 7 entries
log[3 DETAILS]: FsStatusInfo END op=1 [\Fake (COM1)] on the host's thread
WANT
diff -u "$work/list.want" "$out" || fail "ls device: output differs"

run_host wrongnr --plugin-nr 3 "$fake" ls "$dev\\wrongnr"
expect_line 'log[3 DETAILS]: wrong nr [PluginNr 4, expected 3]' "PluginNr mismatch shown"
expect_count 1 '[PluginNr' "PluginNr remark only on the mismatch"

run_host root "$fake" ls
expect_rc 0 "ls root"
expect_line '> ls \' "ls root"
expect_line 'd 0 - Fake (COM1)' "ls root"
expect_line 'd 0 - Other (COM2)' "ls root"
expect_line 'ls: 2 entries' "ls root"

run_host empty "$fake" ls "$dev\\empty"
expect_rc 0 "empty folder"
expect_line 'FsFindFirst: INVALID_HANDLE_VALUE, last error 18 (ERROR_NO_MORE_FILES)' "empty folder"
expect_line 'ls: 0 entries' "empty folder"

run_host missing "$fake" ls "$dev\\nope"
expect_rc 1 "missing folder"
expect_line 'FsFindFirst: INVALID_HANDLE_VALUE, last error 3 (ERROR_PATH_NOT_FOUND)' "missing folder"
expect_line 'ls: path not found' "missing folder"

run_host denied "$fake" ls "$dev\\lasterror=5"
expect_rc 1 "last error 5"
expect_line 'FsFindFirst: INVALID_HANDLE_VALUE, last error 5 (ERROR_ACCESS_DENIED)' "last error 5"
run_host odd "$fake" ls "$dev\\lasterror=4711"
expect_line 'FsFindFirst: INVALID_HANDLE_VALUE, last error 4711' "unnamed last error"

# A failing device listing: the message box text with its line break escaped, the log line. The
# stand-in's text has "ä" as byte E4, as in the ANSI code page 1252: under Wine the host prints it
# as the character; on Linux, where the ANSI functions speak UTF-8, the byte is no UTF-8 and passes
# as it is.
umlaut=$(printf '\xe4')
[ "$native" = 0 ] && umlaut=ä
run_host other --answer no "$fake" ls '\Other (COM2)'
expect_rc 1 "other device"
expect_line "request[8 MsgOK] Quarnel: Keine Verbindung zu COM2.\\r\\nIst das Ger${umlaut}t frei? => FALSE" "message box"
expect_line 'log[6 IMPORTANTERROR]: ListDir failed: COM2 busy' "important error"
if [ "$native" = 0 ]; then
  # Without --codepage: the console's code page, here the OEM one (437 or 850: "ä" is 84 in both),
  # as there is no console.
  quarnel_wine "$target" "$build/wfxhost.exe" --answer no "$fake" ls '\Other (COM2)' >"$work/oem.out"
  grep -qF "Ger$(printf '\x84')t" "$work/oem.out" || fail "console code page: ä as 84"
fi

# --- Requests: answers and returned text --------------------------------------------------------
run_host ask "$fake" ls "$dev\\ask"
expect_line 'request[9 MsgYesNo] Quarnel: Weiter? => TRUE' "yes/no default"
expect_line 'request[1 UserName] Login: Name? [guest] => TRUE [guest]' "input default"
expect_line 'log[3 DETAILS]: answer=TRUE' "yes reaches plug-in"
run_host ask_reply --reply bob "$fake" ls "$dev\\ask"
expect_line 'request[1 UserName] Login: Name? [guest] => TRUE [bob]' "reply"
expect_line 'log[3 DETAILS]: reply=TRUE [bob]' "reply reaches plug-in"
run_host ask_long --reply 'a very long user name indeed' "$fake" ls "$dev\\ask"
expect_line 'log[3 DETAILS]: reply=TRUE [a very long use]' "reply cut to maxlen-1"
run_host ask_no --answer no --reply bob "$fake" ls "$dev\\ask"
expect_line 'request[9 MsgYesNo] Quarnel: Weiter? => FALSE' "answer no"
expect_line 'log[3 DETAILS]: reply=FALSE [guest]' "refused input leaves the text"

# --- Downloads: progress, flags, exists, abort ---------------------------------------------------
run_host get "$fake" get "$dev\\small.txt" "$lwork/small.txt"
expect_rc 0 "get"
expect_line "log[3 DETAILS]: FsGetFile [$dev\\small.txt] -> [$lwork/small.txt] flags=0" "get args"
for p in 0 25 50 75 100; do
  expect_line "progress $p% $dev\\small.txt -> $lwork/small.txt" "get progress $p"
done
expect_line 'FsGetFile: FS_FILE_OK' "get result"
[ "$(cat "$work/small.txt" 2>/dev/null)" = hello ] || fail "get: local content"

run_host get_exists "$fake" get "$dev\\small.txt" "$lwork/small.txt"
expect_rc 1 "get onto existing file"
expect_line 'FsGetFile: FS_FILE_EXISTS' "get onto existing file"
expect_count 0 'progress ' "no transfer onto existing file"

check_flags() {  # check_flags WANTED OPTIONS...
  local want=$1
  shift
  run_host flags "$fake" get "$@" "$dev\\docs\\readme.txt" "$lwork/readme.txt"
  expect_rc 0 "get $*"
  expect_count 1 "] flags=$want" "CopyFlags for get $*"
}
check_flags 1 --overwrite
check_flags 2 --resume
check_flags 5 --overwrite --move
rm -f "$work/readme.txt"
run_host flags_global --move "$fake" get "$dev\\docs\\readme.txt" "$lwork/readme.txt"
expect_count 1 '] flags=4' "global --move"

# Abort: the answer is 1 from the first call at or above the percentage, the plug-in stops.
rm -f "$work/small.txt"
run_host abort --abort-at 50 "$fake" get "$dev\\small.txt" "$lwork/small.txt"
expect_rc 1 "abort"
expect_line "progress 25% $dev\\small.txt -> $lwork/small.txt" "abort: before"
expect_line "progress 50% $dev\\small.txt -> $lwork/small.txt => abort" "abort: answered"
expect_count 0 'progress 75%' "abort: plug-in stopped"
expect_line 'log[6 IMPORTANTERROR]: GetFile: User abort' "abort log"
expect_line 'FsGetFile: FS_FILE_USERABORT' "abort result"
[ ! -e "$work/small.txt" ] || fail "abort: partial file left"
run_host abort0 "$fake" get --abort-at 0 "$dev\\small.txt" "$lwork/small.txt"
expect_line "progress 0% $dev\\small.txt -> $lwork/small.txt => abort" "abort at 0"
expect_count 1 'progress ' "abort at 0: one call"

run_host quiet --progress none "$fake" get "$dev\\small.txt" "$lwork/q.txt"
expect_rc 0 "progress none"
expect_count 0 'progress' "progress none"
run_host bar --progress bar "$fake" get "$dev\\small.txt" "$lwork/b.txt"
grep -q $'\rprogress \[###############...............\]  50% ' "$out" || fail "bar: 50% bar drawn"
expect_line 'FsGetFile: FS_FILE_OK' "bar: result on a line of its own"

# --- Uploads -----------------------------------------------------------------------------------
printf 'new data' >"$work/up.txt"
run_host put "$fake" run - <<SCRIPT
put "$lwork/up.txt" "$dev\\docs\\up.txt"
put "$lwork/up.txt" "$dev\\docs\\up.txt"
put --overwrite --move "$lwork/up.txt" "$dev\\docs\\up.txt"
ls "$dev\\docs"
SCRIPT
expect_rc 1 "put script (one exists)"
expect_count 2 "] flags=0" "put flags 0 (new, then existing)"
expect_count 1 "] flags=5" "put flags 5"
expect_line 'FsPutFile: FS_FILE_EXISTS' "put onto existing"
expect_count 2 'FsPutFile: FS_FILE_OK' "put results"
expect_line "progress 100% $lwork/up.txt -> $dev\\docs\\up.txt" "put progress"
expect_line '- 8 2024-01-02T03:04:05Z up.txt' "put listed"
[ ! -e "$work/up.txt" ] || fail "put --move: local file kept"

# --- Rename/move, delete, folders, disconnect ----------------------------------------------------
run_host mv "$fake" run - <<SCRIPT
mv "$dev\\small.txt" "$dev\\docs\\small.txt"
mv --copy "$dev\\docs\\small.txt" "$dev\\docs\\readme.txt"
mv --copy --overwrite "$dev\\docs\\small.txt" "$dev\\copy.txt"
ls "$dev\\docs"
SCRIPT
expect_rc 1 "mv script"
expect_line "log[3 DETAILS]: FsRenMovFile [$dev\\small.txt] -> [$dev\\docs\\small.txt] move=1 overwrite=0" "mv default"
expect_line "log[3 DETAILS]: FsRenMovFile [$dev\\docs\\small.txt] -> [$dev\\docs\\readme.txt] move=0 overwrite=0" "mv --copy"
expect_line "log[3 DETAILS]: FsRenMovFile [$dev\\docs\\small.txt] -> [$dev\\copy.txt] move=0 overwrite=1" "mv --overwrite"
expect_line 'FsRenMovFile: FS_FILE_EXISTS' "mv onto existing"
expect_count 2 'FsRenMovFile: FS_FILE_OK' "mv results"
expect_line '- 5 2024-01-02T03:04:05Z small.txt' "moved file listed"

run_host ops "$fake" run - <<SCRIPT
mkdir "$dev\\new"
mkdir "$dev\\nowhere\\new"
rmdir "$dev\\docs"
rmdir "$dev\\new"
rm "$dev\\notime.dat"
rm "$dev\\notime.dat"
mkdir "$dev\\result=2"
rm "$dev\\result=0"
get "$dev\\result=42" "$lwork/x"
mv "$dev\\a" "$dev\\result=7"
disconnect "$dev"
disconnect '\Unknown'
SCRIPT
expect_rc 1 "ops script"
cat >"$work/ops.want" <<'WANT'
FsMkDir: TRUE
FsMkDir: FALSE
FsRemoveDir: FALSE
FsRemoveDir: TRUE
FsDeleteFile: TRUE
FsDeleteFile: FALSE
FsMkDir: TRUE (2)
FsDeleteFile: FALSE
FsGetFile: 42 (unknown result)
FsRenMovFile: FS_FILE_EXISTSRESUMEALLOWED
FsDisconnect: TRUE
FsDisconnect: FALSE
WANT
grep -E '^Fs[A-Za-z]+: ' "$out" | diff -u "$work/ops.want" - || fail "ops: result lines differ"
expect_line "> disconnect '\\Unknown'" "quotes other than double quotes are kept"

# --- Scripts: one process, connections persist; status and per-line options --------------------
cat >"$work/session.txt" <<SCRIPT
# a comment, then a blank line

ls "$dev\\docs"
get --overwrite "$dev\\small.txt" "$lwork/s1.txt"
  ls "$dev"
disconnect "$dev"
ls "$dev\\docs"
SCRIPT
run_host session "$fake" run "$lwork/session.txt"
expect_rc 0 "session script"
expect_count 2 'log[1 CONNECT]: CONNECT \Fake (COM1)' "connect once per connection"
expect_count 1 'log[2 DISCONNECT]: DISCONNECT \Fake (COM1)' "disconnect"
[ "$(grep -c '^> ' "$out")" -eq 5 ] || fail "five commands run"
expect_count 1 '] flags=1' "per-line option"
expect_line "> get \"$dev\\small.txt\" $lwork/s1.txt" "echo quotes words with blanks"

printf 'ls "%s\\nope"\nls "%s"\n' "$dev" "$dev" >"$work/partial.txt"
run_host partial "$fake" run "$lwork/partial.txt"
expect_rc 1 "script with a failure"
expect_line 'ls: 7 entries' "script goes on after a failure"

# --- wait: a script pauses until the test makes a file, within a bound -------------------------
: >"$work/ready"
(sleep 1 && : >"$work/later") &
maker=$!
run_host wait "$fake" run - <<SCRIPT
wait "$lwork/ready"
wait "$lwork/later"
wait "$lwork/never" 1
ls "$dev"
SCRIPT
wait "$maker"
expect_rc 1 "wait script (one gives up)"
expect_line "wait: $lwork/ready exists" "wait: a file that exists"
expect_line "wait: $lwork/later exists" "wait: a file made while waiting"
expect_line 'wait: gave up after 1 s' "wait: the bound"
expect_line 'ls: 7 entries' "wait: the script goes on"

# --- Background transfers, FsExecuteFile, FsGetBackgroundFlags, time bounds -----------------------
# A transfer with --background runs on a thread of its own, inside FsStatusInfo's START and END of
# GET_MULTI_THREAD (19) or PUT_MULTI_THREAD (20) on that thread, while the script goes on; join
# prints what it printed, each line behind its tag.
printf 'up' >"$work/bg-up.txt"
run_host background "$fake" run - <<SCRIPT
get --background --overwrite "$dev\small.txt" "$lwork/bg.txt"
join
put --background "$lwork/bg-up.txt" "$dev\docs\bg-up.txt"
join 5
ls "$dev\docs"
join
SCRIPT
expect_rc 0 "background transfers"
expect_count 2 'background: [bg ' "two started"
expect_line "[bg 1] > get \"$dev\\small.txt\" $lwork/bg.txt" "bg 1: its command"
expect_line "[bg 1] log[3 DETAILS]: FsStatusInfo START op=19 [$dev\\] on another thread" "bg 1: status"
expect_line "[bg 1] log[3 DETAILS]: FsGetFile [$dev\\small.txt] -> [$lwork/bg.txt] flags=1" "bg 1: get"
expect_line "[bg 1] progress 100% $dev\\small.txt -> $lwork/bg.txt" "bg 1: progress"
expect_line "[bg 1] FsGetFile: FS_FILE_OK" "bg 1: result"
expect_line "[bg 1] log[3 DETAILS]: FsStatusInfo END op=19 [$dev\\] on another thread" "bg 1: end"
expect_line "[bg 2] log[3 DETAILS]: FsStatusInfo START op=20 [$dev\\docs\\] on another thread" "bg 2"
expect_line "[bg 2] FsPutFile: FS_FILE_OK" "bg 2: result"
expect_line '- 2 2024-01-02T03:04:05Z bg-up.txt' "bg 2: the upload listed afterwards"
! grep -q '^progress' "$out" || fail "background: a progress line outside join"
[ "$(cat "$work/bg.txt" 2>/dev/null)" = hello ] || fail "background get: local content"

run_host exec "$fake" run - <<SCRIPT
flags
exec open "$dev\small.txt"
exec properties "\\"
exec jump "$dev\small.txt"
exec "chmod 644" "$dev\small.txt"
sleep 300 --within 100000
sleep 300 --within 10
SCRIPT
expect_rc 1 "exec script"
cat >"$work/exec.want" <<'WANT'
FsGetBackgroundFlags: 5 (BG_DOWNLOAD|BG_ASK_USER)
FsExecuteFile: FS_EXEC_YOURSELF
FsExecuteFile: FS_EXEC_OK
FsExecuteFile: FS_EXEC_SYMLINK \Fake (COM1)\docs
FsExecuteFile: FS_EXEC_ERROR
WANT
grep -E '^Fs[A-Za-z]+: ' "$out" | diff -u "$work/exec.want" - || fail "exec: result lines differ"
expect_line "log[3 DETAILS]: FsExecuteFile [$dev\\small.txt] verb=[chmod 644]" "exec: the verb"
expect_line "log[3 DETAILS]: FsStatusInfo START op=11 [$dev\\] on the host's thread" "exec: status"
grep -qE '^time: within 100000 ms \([0-9]+ ms\)$' "$out" || fail "--within: within"
grep -qE '^time: over 10 ms \([0-9]+ ms\)$' "$out" || fail "--within: over"

# --no-init: neither FsInit nor FsInitW, as Double Commander's plug-in settings ask for properties.
run_host noinit_exec --no-init "$fake" exec properties '\'
expect_rc 0 "--no-init"
expect_count 0 'FsInit' "--no-init: no FsInit"
expect_line 'FsExecuteFile: FS_EXEC_OK' "--no-init: exec"

# --- Missing exports, load failures, usage errors ----------------------------------------------
missing_export() {  # missing_export EXPORT COMMAND ARGS...
  local export_name=$1
  shift
  run_host min "$minimal" "$@"
  expect_rc 1 "minimal plug-in $1"
  expect_line "$export_name: export missing in plugin" "minimal plug-in $1"
}
missing_export FsGetFile get "$dev\\a" "$lwork/a"
missing_export FsPutFile put "$lwork/a" "$dev\\a"
missing_export FsRenMovFile mv "$dev\\a" "$dev\\b"
missing_export FsDeleteFile rm "$dev\\a"
missing_export FsMkDir mkdir "$dev\\a"
missing_export FsRemoveDir rmdir "$dev\\a"
missing_export FsDisconnect disconnect "$dev"
missing_export FsExecuteFile exec open "$dev\\a"
missing_export FsGetBackgroundFlags flags
run_host min_ls "$minimal" ls "$dev"
expect_rc 0 "minimal plug-in ls"
expect_line 'root: fakeplugin_min (FsGetDefRootName missing)' "root name from the file name"
expect_count 0 'FsSetDefaultParams' "no FsSetDefaultParams in the minimal plug-in"

# The interface switch: the stand-in plug-in has only ANSI functions. The default and "ansi" use
# them; "wide" insists on the wide ones and names the one missing.
for choice in auto ansi; do
  run_host "interface_$choice" --interface "$choice" "$fake" ls "$dev\\docs"
  expect_rc 0 "--interface $choice"
  expect_line '- 8 2024-01-02T03:04:05Z readme.txt' "--interface $choice: the ANSI listing"
done
run_host interface_wide --interface wide "$fake" ls "$dev"
expect_rc 2 "--interface wide without FsInitW"
grep -q 'FsInitW: export missing in plugin' "$work/interface_wide.err" ||
  fail "--interface wide: FsInitW named"

run_host noload "$lwork/none.wfx" ls
expect_rc 2 "missing plug-in file"
grep -q 'cannot load' "$work/noload.err" || fail "missing plug-in file: reason"
printf 'not a library' >"$work/text.wfx"
run_host notlib "$lwork/text.wfx" ls
expect_rc 2 "not a library"
grep -q "cannot load $lwork/text.wfx: " "$work/notlib.err" || fail "not a library: reason"
libm=/usr/lib/x86_64-linux-gnu/libm.so.6
if [ "$native" = 1 ] && [ -e "$libm" ]; then
  run_host noinit "$libm" ls
  expect_rc 2 "library without FsInit"
  grep -q 'FsInit: export missing in plugin' "$work/noinit.err" || fail "no FsInit: message"
fi

usage_error() {  # usage_error CONTEXT ARGS...: exit 2 before the plug-in is started
  local context=$1
  shift
  run_host usage "$@"
  expect_rc 2 "$context"
  expect_count 0 'root:' "$context: plug-in not started"
}
usage_error "no command" "$fake"
usage_error "unknown command" "$fake" copy a b
usage_error "too few arguments" "$fake" get "$dev\\small.txt"
usage_error "too many arguments" "$fake" rm a b
usage_error "bad percentage" --abort-at half "$fake" ls
usage_error "bad answer" "$fake" ls --answer maybe
usage_error "value for a flag" "$fake" get --overwrite=1 a b
usage_error "bad progress mode" --progress fancy "$fake" ls
usage_error "bad interface" --interface utf8 "$fake" ls
usage_error "bad code page" --codepage 12345678 "$fake" ls
usage_error "bad wait bound" "$fake" wait "$lwork/x" 0
usage_error "background listing" "$fake" ls --background "$dev"
usage_error "bad time bound" "$fake" ls --within soon
usage_error "bad sleep" "$fake" sleep 1s
usage_error "bad join bound" "$fake" join 0
printf 'ls\nget "unterminated\n' >"$work/bad.txt"
usage_error "script syntax" "$fake" run "$lwork/bad.txt"
grep -q "bad.txt:2: unterminated double quote" "$work/usage.err" || fail "script error names the line"
printf 'run other.txt\n' >"$work/nested.txt"
usage_error "nested run" "$fake" run "$lwork/nested.txt"
usage_error "missing script" "$fake" run "$lwork/absent.txt"

# --- The stack check: on 32-bit Windows every export pops its own arguments -------------------
if [ "$native" = 0 ] && [ "$target" = win32 ]; then
  run_host stack --check-stack "$fake" run - <<SCRIPT
ls "$dev"
get "$dev\\small.txt" "$lwork/stack.txt"
put "$lwork/stack.txt" "$dev\\up.txt"
mv "$dev\\small.txt" "$dev\\moved.txt"
rm "$dev\\moved.txt"
mkdir "$dev\\new"
rmdir "$dev\\new"
flags
exec open "$dev\\up.txt"
disconnect "$dev"
SCRIPT
  # FsStatusInfo around each operation; FsGetBackgroundFlags takes no arguments at all.
  expect_rc 0 "stack check, __stdcall plug-in"
  expect_line 'stack: 16 exports checked in 37 calls: each popped its arguments (__stdcall)' \
    "stack check, __stdcall plug-in"
  expect_count 0 'moved the stack pointer' "stack check, __stdcall plug-in"
  expect_count 0 'stack: never called' "stack check, __stdcall plug-in"
  # Listing functions built as cdecl: each call is reported, the host goes on, the exit status
  # says so.
  run_host stack_cdecl --check-stack "Z:$build/cdeclplugin.wfx" ls '\'
  expect_rc 1 "stack check, cdecl plug-in"
  for line in \
    'stack: FsFindFirst moved the stack pointer by -8 bytes; __stdcall pops its 8 bytes of arguments' \
    'stack: FsFindNext moved the stack pointer by -8 bytes; __stdcall pops its 8 bytes of arguments' \
    'stack: FsFindClose moved the stack pointer by -4 bytes; __stdcall pops its 4 bytes of arguments' \
    '- 0 - file.txt' 'ls: 1 entry' 'stack: not __stdcall: FsFindFirst FsFindNext FsFindClose'; do
    expect_line "$line" "stack check, cdecl plug-in"
  done
else
  usage_error "stack check without __stdcall" --check-stack "$fake" ls
fi

run_host help --help
expect_rc 0 "--help"
grep -q '^usage: wfxhost' "$out" || fail "--help: usage text"

if [ "$failures" -ne 0 ]; then
  echo "test_wfxhost: $failures failure(s)"
  exit 1
fi
echo "test_wfxhost: all passed"
