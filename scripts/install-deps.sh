#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and nothing that is there
# already. As root it installs; otherwise it prints the one command that would.
set -euo pipefail

packages=(cmake make g++ libgtest-dev zip unzip clang-format
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64)
need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

missing=()
for p in "${packages[@]}" wine32:i386; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ] && exit 0

cmd="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with (as root):" >&2
  echo "  $cmd" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
[ $need_i386 -eq 1 ] && dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
