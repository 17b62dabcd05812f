#!/usr/bin/env bash
# Runs the Windows builds' tests under Wine: every tests/wine/test-*.sh, given the build root. A test
# whose header says "# per-target" runs once for each Windows build this machine can run (a second
# argument names it: win64 or win32); the others run once. A header line "# not-emulated: REASON"
# leaves the 32-bit run out where 32-bit programs are emulated. One Wine prefix (BUILD/wineprefix) serves
# all of them and both bitnesses; its wineserver is ended at the end. 32-bit programs run natively,
# through user-mode emulation (slower, but all the 32-bit runs fit in about ten minutes on two
# cores) or not at all, and then the 32-bit runs are skipped with the reason on one line (see
# scripts/wine-env.sh). Prints "wine: N passed, N failed" (", N skipped" after it when something
# was skipped), then "; win32 " and how the 32-bit runs went (with their time and the smoke test's
# checks), and exits non-zero when anything failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all QUARNEL_BUILD_ROOT="$build"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts
# shellcheck source=../../scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  started=$(date +%s)
  quarnel_wine_prefix || { echo "wineboot failed"; exit 1; }
  echo "Wine prefix created in $(($(date +%s) - started)) s"
fi
# One persistent wineserver for the whole run: the port map under HKLM\HARDWARE is volatile and
# would be rebuilt (losing the simulated ports) whenever a fresh server starts between two steps.
# Its output goes nowhere: it dumps its object table when a pseudo-terminal it once opened as a
# session leader is hung up by a simulator that ends.
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null

passed=0 failed=0 skipped=0
logs=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$logs"' EXIT
# run_one LABEL SCRIPT ARGS...: prints the test's output when it has ended (no pipe: processes
# that Wine starts on the way outlive the test) and leaves it in $log.
run_one() {
  local label=$1 started rc
  shift
  started=$(date +%s)
  log="$logs/$label.log"
  echo "=== $label"
  timeout 900 bash "$@" >"$log" 2>&1
  rc=$?
  cat "$log"
  if [ "$rc" -eq 0 ]; then
    echo "=== $label: PASSED in $(($(date +%s) - started)) s"; passed=$((passed + 1))
  else
    echo "=== $label: FAILED in $(($(date +%s) - started)) s"; failed=$((failed + 1))
  fi
  return "$rc"
}

echo "wine32: $QUARNEL_WINE32_HOW"
win32_time=0 win32_smoke="no smoke test"
for t in "$here"/test-*.sh; do
  [ -e "$t" ] || continue
  name=$(basename "$t" .sh)
  if grep -q '^# per-target' "$t"; then
    for target in win64 win32; do
      if [ "$target" = win32 ] && [ "$QUARNEL_WINE32_MODE" = emulated ] &&
        grep -q '^# not-emulated:' "$t"; then
        echo "=== $name $target: left out under emulation (see the test's header)"
        skipped=$((skipped + 1))
      elif [[ " $QUARNEL_WINE_TARGETS " == *" $target "* ]]; then
        test_started=$(date +%s)
        run_one "$name $target" "$t" "$build" "$target"
        if [ "$target" = win32 ]; then
          win32_time=$((win32_time + $(date +%s) - test_started))
          [ "$name" = test-smoke ] &&
            win32_smoke="smoke test: $(sed -n 's/^smoke: //p' "$log" | tail -n1)"
        fi
      else
        skipped=$((skipped + 1))
      fi
    done
  else
    run_one "$name" "$t" "$build"
  fi
done
summary="wine: $passed passed, $failed failed"
[ "$skipped" -gt 0 ] && summary+=", $skipped skipped"
summary+="; win32 $QUARNEL_WINE32_HOW"
[ "$QUARNEL_WINE32_MODE" != skipped ] && summary+=": ${win32_time} s, $win32_smoke"
echo "$summary"
[ "$failed" -eq 0 ]
