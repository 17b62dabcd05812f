#!/usr/bin/env bash
# The command-line host's own checks, run with each Windows build under Wine.
here=$(cd "$(dirname "$0")" && pwd)
rc=0
for b in win64 win32; do bash "$here/../plugin/test_wfxhost.sh" "$1/$b" || rc=1; done
exit $rc
