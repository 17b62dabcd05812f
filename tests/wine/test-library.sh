#!/usr/bin/env bash
# The plug-in loaded and unloaded as hosts do it, without waiting for its idle watcher; and the
# host's "no time" in its find data.
# per-target
# not-emulated: under qemu-user an unload right after the load (Wine ending the watcher thread
# with a signal) now and then crashes or hangs the 32-bit process, about one run in eight;
# machines that run 32-bit programs natively run this test for both targets.
# Arguments: the build root and the target (win64 or win32).
build=$(cd "${1:?build root}" && pwd)
target=${2:?target}
source "$(dirname "$0")/../../scripts/wine-env.sh"
quarnel_wine "$target" "$build/$target/wine_tests.exe" --gtest_filter='WineLibrary.*:WineFindData.*' --gtest_brief=1
