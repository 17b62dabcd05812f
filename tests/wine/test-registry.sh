#!/usr/bin/env bash
# The real registry backend of the port scan, 64- and 32-bit, against keys the tests write.
build=$(cd "${1:?build root}" && pwd)
rc=0
for dir in win64 win32; do
  echo "$dir:"
  wine "$build/$dir/wine_tests.exe" --gtest_filter='RegistryBackend.*' --gtest_brief=1 || rc=1
done
exit $rc
