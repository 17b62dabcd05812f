#!/usr/bin/env bash
# The Linux plug-in at process exit without dlclose, as Double Commander leaves it: a call into it
# after the C++ runtime destroyed the plug-in's static objects (tests/tools/latecaller) still
# works and logs. In the sanitizer build AddressSanitizer fails the run on any use of a destroyed
# object. Argument: the build folder.
set -uo pipefail
build=$(cd "${1:?usage: test_unload.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No ports: the late root listing scans an empty fake sysfs, not the machine's.
mkdir -p "$work/sys/class/tty" "$work/dev"
export QUARNEL_SYSFS_ROOT="$work/sys" QUARNEL_DEV_ROOT="$work/dev" TMPDIR="$work"

fail() {
  echo "FAIL: $*"
  exit 1
}

out=$("$build/latecaller" "$build/quarnel.wfx" 2>&1)
rc=$?
[ "$rc" -eq 0 ] || fail "latecaller exited with $rc: $out"
grep -q '^late call done$' <<<"$out" || fail "no late call: $out"
grep -q '  === FsInit called, PluginNr=99 ===' "$work/quarnel.log" || fail "late FsInit not logged"
grep -qF "  Debug log path: $work/quarnel.log" "$work/quarnel.log" || fail "late log path wrong"
echo "unload: ok"
