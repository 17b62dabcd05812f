#!/usr/bin/env bash
# The command-line host's own checks, run with a Windows build under Wine.
# per-target
# Arguments: the build root and the target (win64 or win32).
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../plugin/test_wfxhost.sh" "${1:?build root}/${2:?target}"
