#!/usr/bin/env bash
# The Win32 side of the platform seam (files), 64- and 32-bit.
build=$(cd "${1:?build root}" && pwd)
rc=0
for dir in win64 win32; do
  echo "$dir:"
  wine "$build/$dir/wine_tests.exe" --gtest_filter='WinePlatform.*' --gtest_brief=1 || rc=1
done
exit $rc
