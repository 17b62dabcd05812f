#!/usr/bin/env bash
# The local files of the Windows builds: exclusive creation, unique names and the replacing rename
# (MoveFileExA) that a download's last step is.
# per-target
# Arguments: the build root and the target (win64 or win32).
build=$(cd "${1:?build root}" && pwd)
target=${2:?target}
source "$(dirname "$0")/../../scripts/wine-env.sh"
quarnel_wine "$target" "$build/$target/wine_tests.exe" --gtest_filter='LocalFile*:LocalFolder*' --gtest_brief=1
