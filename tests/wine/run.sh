#!/usr/bin/env bash
# Runs the Windows builds' tests under Wine: every tests/wine/test-*.sh, given the build root. A test
# whose header says "# per-target" runs once for each Windows build this machine can run (a second
# argument names it: win64 or win32); the others run once. One Wine prefix (BUILD/wineprefix) serves
# all of them and both bitnesses; its wineserver is ended at the end. Where 32-bit programs cannot
# run (see scripts/wine-env.sh), the 32-bit runs are skipped with the reason on one line. Prints
# "wine: N passed, N failed" (", N skipped" after it when something was skipped) and exits
# non-zero when anything failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all QUARNEL_BUILD_ROOT="$build"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts
# shellcheck source=../../scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  quarnel_wine_prefix || { echo "wineboot failed"; exit 1; }
fi
# One persistent wineserver for the whole run: the port map under HKLM\HARDWARE is volatile and
# would be rebuilt (losing the simulated ports) whenever a fresh server starts between two steps.
# Its output goes nowhere: it dumps its object table when a pseudo-terminal it once opened as a
# session leader is hung up by a simulator that ends.
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

passed=0 failed=0 skipped=0
run_one() {
  local label=$1
  shift
  echo "=== $label"
  if timeout 900 bash "$@"; then
    echo "=== $label: PASSED"; passed=$((passed + 1))
  else
    echo "=== $label: FAILED"; failed=$((failed + 1))
  fi
}

[ -n "$QUARNEL_WINE32_SKIP" ] && echo "wine32: skipped ($QUARNEL_WINE32_SKIP)"
for t in "$here"/test-*.sh; do
  [ -e "$t" ] || continue
  name=$(basename "$t" .sh)
  if grep -q '^# per-target' "$t"; then
    for target in win64 win32; do
      if [[ " $QUARNEL_WINE_TARGETS " == *" $target "* ]]; then
        run_one "$name $target" "$t" "$build" "$target"
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
echo "$summary"
[ "$failed" -eq 0 ]
