#!/usr/bin/env bash
# Runs the Windows builds' tests under Wine: every tests/wine/test-*.sh, each given the build root.
# One Wine prefix (BUILD/wineprefix) serves all of them and both bitnesses; its wineserver is ended
# at the end. Prints "N passed, N failed" and exits non-zero when anything failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all QUARNEL_BUILD_ROOT="$build"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
  wineserver -w
fi
# One persistent wineserver for the whole run: the port map under HKLM\HARDWARE is volatile and
# would be rebuilt (losing the simulated ports) whenever a fresh server starts between two steps.
# Its output goes nowhere: it dumps its object table when a pseudo-terminal it once opened as a
# session leader is hung up by a simulator that ends.
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

passed=0 failed=0
for t in "$here"/test-*.sh; do
  [ -e "$t" ] || continue
  name=$(basename "$t" .sh)
  echo "=== $name"
  if timeout 900 bash "$t" "$build"; then
    echo "=== $name: PASSED"; passed=$((passed + 1))
  else
    echo "=== $name: FAILED"; failed=$((failed + 1))
  fi
done
echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
