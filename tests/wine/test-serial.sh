#!/usr/bin/env bash
# The serial port's Win32 backend under Wine: a serialpeer (Linux) serves a pseudo-terminal that
# is linked as a COM port of the Wine prefix, and the WineSerial tests of wine_tests.exe run
# against it. Uses COM21 (64-bit), COM22 (32-bit) and COM29 (kept absent).
# per-target
# Arguments: the build root with linux/, win64/ and win32/, and the target (win64 or win32).
set -uo pipefail
build=$(cd "${1:?build root}" && pwd)
target=${2:?target}
source "$(dirname "$0")/../../scripts/wine-env.sh"
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG="${WINEDEBUG:--all}"
peer_bin="$build/linux/serialpeer"
dosdevices="$WINEPREFIX/dosdevices"
work=$(mktemp -d)
peer_pid=""

cleanup() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
  fi
  rm -f "$dosdevices/com21" "$dosdevices/com22" "$dosdevices/com29"
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$peer_bin" ] || { echo "missing $peer_bin"; exit 1; }
mkdir -p "$dosdevices"
rm -f "$dosdevices/com29"

status=0
for dir in $target; do
  com=com21
  [ "$dir" = win32 ] && com=com22
  exe="$build/$dir/wine_tests.exe"
  if [ ! -f "$exe" ]; then
    echo "$dir: missing $exe"; status=1; continue
  fi
  "$peer_bin" --lifetime 600 >"$work/peer-$dir.out" 2>&1 &
  peer_pid=$!
  slave=""
  for _ in $(seq 1 100); do
    slave=$(head -n 1 "$work/peer-$dir.out" 2>/dev/null)
    [ -n "$slave" ] && break
    sleep 0.1
  done
  if [ -z "$slave" ] || [ ! -e "$slave" ]; then
    echo "$dir: serialpeer gave no pseudo-terminal"; status=1
  else
    ln -sfn "$slave" "$dosdevices/$com"
    echo "$dir: ${com^^} -> $slave"
    if ! QUARNEL_TEST_COM=${com^^} QUARNEL_TEST_COM_MISSING=COM29 \
        quarnel_wine "$dir" "$exe" --gtest_filter='WineSerial.*' --gtest_brief=1; then
      echo "$dir: serial tests FAILED"; status=1
    fi
  fi
  # The wineserver (persistent for the run, output discarded by run.sh) opened the
  # pseudo-terminal as a session leader; hanging it up only makes that server dump its objects.
  kill "$peer_pid" 2>/dev/null
  wait "$peer_pid" 2>/dev/null
  peer_pid=""
  rm -f "$dosdevices/$com"
done
exit $status
