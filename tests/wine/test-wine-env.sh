#!/usr/bin/env bash
# The three answers of scripts/wine-env.sh (32-bit programs run natively, through user-mode
# emulation, or not at all) and the emulation set-up of scripts/i386-emulation.sh. The machine's
# own binfmt_misc is never touched: each case runs in a user and mount namespace with a private
# binfmt_misc instance (Linux 6.7 and later), where an entry that hands i386 programs to
# /bin/false makes a machine that cannot run them. Cases that need what this machine lacks (such a
# kernel, qemu-user-static) say so and are left out.
# Argument: the build root (unused).
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
loader=/lib/ld-linux.so.2
qemu=/usr/bin/qemu-i386-static
i386_elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Both paths are tested here, whatever the caller asked for.
unset QUARNEL_WINE32 QEMU_RESERVED_VA
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
equals() { [ "$1" = "$2" ] || { echo "  got [$1], expected [$2]"; return 1; }; }
finish() {
  echo "$1: $passed checks passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
# The probe's answer in a fresh shell: MODE|HOW|WINE32|WINE64|TARGETS|QEMU_RESERVED_VA
probe() {
  env "$@" bash -c 'source "$1/scripts/wine-env.sh" && echo "$QUARNEL_WINE32_MODE|$QUARNEL_WINE32_HOW|$QUARNEL_WINE32|$QUARNEL_WINE64|$QUARNEL_WINE_TARGETS|${QEMU_RESERVED_VA:-}"' _ "$repo"
}
# Makes this namespace's binfmt_misc send i386 programs to /bin/false. Mounted beside the usual
# place, which then stays unmounted for the set-up to mount; where the machine has mounted its own
# there (and this namespace sees it), over it.
block_i386() {
  local at
  at=$(mktemp -d)
  [ -e /proc/sys/fs/binfmt_misc/register ] && at=/proc/sys/fs/binfmt_misc
  mount -t binfmt_misc binfmt_misc "$at" &&
    printf '%s' ":quarnel-no-i386:M::$i386_elf:$i386_mask:/bin/false:F" >"$at/register"
}

if [ "${1:-}" = --inside ]; then
  # Inside a namespace of our own, as its root.
  case $2 in
    own-instance)
      # An empty instance of our own: the kernel alone decides.
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 1
      if "$loader" --version >/dev/null 2>&1; then
        check "kernel runs 32-bit: native" equals "$(probe | cut -d'|' -f1-5)" \
          "native|runs natively|wine|wine|win64 win32"
      else
        check "kernel cannot run 32-bit: skipped" equals "$(probe | cut -d'|' -f1,2)" \
          "skipped|skipped (this machine cannot run 32-bit programs)"
      fi
      ;;
    cannot-run)
      block_i386 || exit 1
      check "blocked: skipped" equals "$(probe | cut -d'|' -f1-5)" \
        "skipped|skipped (this machine cannot run 32-bit programs)||/usr/lib/wine/wine64|win64"
      out=$(QUARNEL_WINE32=0 bash "$repo/scripts/i386-emulation.sh" 2>&1)
      check "QUARNEL_WINE32=0: no set-up" equals "$out|$(ls /proc/sys/fs/binfmt_misc/qemu-i386 2>&1 >/dev/null | grep -c .)" "|1"
      ;;
    set-up)
      block_i386 || exit 1
      out=$(bash "$repo/scripts/i386-emulation.sh" 2>&1)
      check "set-up exit status" equals "$?" 0
      check "set-up says what it did" equals "$out" "install-deps: this kernel cannot run 32-bit programs; registered $qemu for them with binfmt_misc (/proc/sys/fs/binfmt_misc/qemu-i386), so the 32-bit plug-in is tested through user-mode emulation"
      check "entry" equals "$(head -n3 /proc/sys/fs/binfmt_misc/qemu-i386 2>&1 | tr '\n' ' ')" \
        "enabled interpreter $qemu flags: PF "
      check "the loader runs" bash -c '"$1" --version >/dev/null' _ "$loader"
      check "emulated" equals "$(probe)" "emulated|runs through user-mode emulation ($(basename "$qemu"))|/usr/lib/wine/wine|/usr/lib/wine/wine64|win64 win32|0x82000000"
      check "QUARNEL_WINE32=0 still skips" equals "$(probe QUARNEL_WINE32=0 | cut -d'|' -f1,2)" \
        "skipped|skipped (QUARNEL_WINE32=0: treated as a machine that cannot run 32-bit programs)"
      out=$(bash "$repo/scripts/i386-emulation.sh" 2>&1)
      check "a second set-up does nothing" equals "$out" ""
      ;;
  esac
  finish "wine-env ($2)"
fi

# The machine itself: whatever it is, QUARNEL_WINE32=0 takes the path without 32-bit programs.
check "QUARNEL_WINE32=0" equals "$(probe QUARNEL_WINE32=0)" \
  "skipped|skipped (QUARNEL_WINE32=0: treated as a machine that cannot run 32-bit programs)||/usr/lib/wine/wine64|win64|"
echo "this machine: $(probe | cut -d'|' -f2)"

# Without root the set-up only prints the commands.
fake=$(mktemp -d) tools=$(mktemp -d)
trap 'rm -rf "$fake" "$tools"' EXIT
chmod 755 "$fake" "$tools"
# A copy the unprivileged user can read wherever the checkout lies.
cp "$repo/scripts/i386-emulation.sh" "$tools/"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
out=$("${as_user[@]}" env QUARNEL_BINFMT_DIR="$fake" QUARNEL_I386_LOADER=/bin/false \
  bash "$tools/i386-emulation.sh" 2>&1)
check "without root: exit status" equals "$?" 0
check "without root: the mount" grep -qxF "  mount -t binfmt_misc binfmt_misc $fake" <<<"$out"
check "without root: the registration" grep -qxF \
  "  printf '%s' ':qemu-i386:M::$i386_elf:$i386_mask:$qemu:FP' > $fake/register" <<<"$out"
: >"$fake/register"
out=$("${as_user[@]}" env QUARNEL_BINFMT_DIR="$fake" QUARNEL_I386_LOADER=/bin/false \
  bash "$tools/i386-emulation.sh" 2>&1)
check "without root, mounted: no mount" equals "$(grep -c 'mount -t' <<<"$out")" 0
out=$(env QUARNEL_BINFMT_DIR="$fake/none" QUARNEL_I386_LOADER=/bin/false \
  bash "$tools/i386-emulation.sh" 2>&1)
check "no binfmt_misc: says so" grep -q "has no binfmt_misc" <<<"$out"

inside() {  # inside CASE: runs this script's CASE in a namespace of its own
  unshare --user --map-root-user --mount --propagation private bash "$0" --inside "$1"
}
if ! unshare --user --map-root-user --mount --propagation private \
  bash -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
  echo "left out: the namespace cases (no private binfmt_misc here: needs Linux 6.7 and user namespaces)"
elif [ ! -x /usr/lib/wine/wine ]; then
  echo "left out: the namespace cases (wine32 is not installed)"
else
  check "own instance" inside own-instance
  check "cannot run" inside cannot-run
  if [ -x "$qemu" ]; then
    check "set-up" inside set-up
  else
    echo "left out: the emulation set-up ($qemu is not installed: this machine does not need it)"
  fi
fi
finish wine-env
