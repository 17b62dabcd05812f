#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and nothing that is there
# already. Every command the scripts call is checked by looking for the command itself (a package
# can be installed and still leave a command off the PATH: wine64 and wine32 do not provide `wine`,
# `wineboot` or `wineserver`; the package wine does). As root it installs; otherwise it prints the
# one command that would. On a machine whose kernel cannot run 32-bit programs it then sets up
# their user-mode emulation (scripts/i386-emulation.sh).
set -euo pipefail

# command-or-file:package
needs=(
  cmake:cmake make:make g++:g++ zip:zip unzip:unzip clang-format:clang-format
  /usr/include/gtest/gtest.h:libgtest-dev /usr/src/googletest/googletest/CMakeLists.txt:googletest
  x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-gcc-posix:gcc-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-objdump:binutils-mingw-w64-x86-64
  i686-w64-mingw32-g++-posix:g++-mingw-w64-i686-posix
  i686-w64-mingw32-gcc-posix:gcc-mingw-w64-i686-posix
  i686-w64-mingw32-objdump:binutils-mingw-w64-i686
  wine:wine wineboot:wine wineserver:wine
  /usr/lib/wine/wine64:wine64 /usr/lib/wine/wineserver64:wine64
  # The 32-bit loader. Installed everywhere; whether and how this machine runs it is probed at run
  # time (scripts/wine-env.sh), since some machines of the same kind cannot without emulation.
  /usr/lib/wine/wine:wine32:i386
  timeout:coreutils od:coreutils
  # A real host for the Linux build, on a virtual display, driven by keys; screenshots.
  doublecmd:doublecmd-gtk Xvfb:xvfb xdotool:xdotool import:imagemagick
  # The fuzz build (make fuzz): clang and libFuzzer's runtime, which clang only recommends.
  clang:clang clang++:clang
  /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev
)

have() {
  case $1 in
    /*) [ -e "$1" ] ;;
    *) command -v "$1" >/dev/null 2>&1 ;;
  esac
}

missing=()
for entry in "${needs[@]}"; do
  what=${entry%%:*} package=${entry#*:}
  have "$what" && continue
  [[ " ${missing[*]-} " == *" $package "* ]] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_i386=0
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
  [[ " ${missing[*]} " == *":i386 "* ]] || need_i386=0
  cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
  [ $need_i386 -eq 1 ] && cmd="dpkg --add-architecture i386 && $cmd"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with (as root):" >&2
    echo "  $cmd" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  [ $need_i386 -eq 1 ] && dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null
  for entry in "${needs[@]}"; do
    what=${entry%%:*}
    have "$what" || { echo "install-deps: still missing after installing: $what" >&2; exit 1; }
  done
fi

# Where the kernel cannot run 32-bit programs, user-mode emulation (nothing changes elsewhere).
bash "$(dirname "$0")/i386-emulation.sh"
