#!/usr/bin/env bash
# Lets a machine whose kernel cannot run 32-bit (i386) programs run them through user-mode
# emulation, so that the 32-bit plug-in is tested under Wine there too: binfmt_misc hands every
# i386 ELF program to qemu-i386-static. Called by install-deps.sh once the packages are in place.
# Does nothing where the 32-bit loader runs already (natively, or emulated through an earlier
# registration), where QUARNEL_WINE32=0 asks for the path without 32-bit programs, or where the
# kernel has no binfmt_misc. As root it sets the emulation up and says so in one line; otherwise it
# prints the commands that would. Never fails: without emulation the 32-bit tests are skipped.
#
# QUARNEL_BINFMT_DIR and QUARNEL_I386_LOADER move the binfmt_misc folder and the loader for tests.
set -uo pipefail
binfmt=${QUARNEL_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
loader=${QUARNEL_I386_LOADER:-/lib/ld-linux.so.2}
qemu=/usr/bin/qemu-i386-static
entry=qemu-i386
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3); F opens the interpreter
# now, so that it is found inside chroots and namespaces too; P keeps the program's argv[0].
registration=":$entry:M::"'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
registration+=':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
registration+=":$qemu:FP"

[ "${QUARNEL_WINE32:-}" = 0 ] && exit 0
[ -e "$loader" ] || exit 0  # no 32-bit C library (it comes with wine32): nothing to run
"$loader" --version >/dev/null 2>&1 && exit 0
if [ ! -d "$binfmt" ]; then
  echo "install-deps: this machine cannot run 32-bit programs and its kernel has no binfmt_misc;" \
    "the 32-bit plug-in's Wine tests will be skipped" >&2
  exit 0
fi

mounted=0
[ -e "$binfmt/register" ] && mounted=1
if [ "$(id -u)" -ne 0 ]; then
  echo "This machine cannot run 32-bit programs. To run the 32-bit plug-in's tests through" \
    "user-mode emulation, as root:" >&2
  [ $mounted -eq 1 ] || echo "  mount -t binfmt_misc binfmt_misc $binfmt" >&2
  [ -x "$qemu" ] || echo "  apt-get update && apt-get install -y qemu-user-static" >&2
  [ -e "$binfmt/$entry" ] && echo "  echo -1 > $binfmt/$entry" >&2
  echo "  printf '%s' '$registration' > $binfmt/register" >&2
  exit 0
fi

fail() {
  echo "install-deps: could not set up user-mode emulation of 32-bit programs: $*;" \
    "the 32-bit plug-in's Wine tests will be skipped" >&2
  exit 0
}
if [ $mounted -eq 0 ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" || fail "mounting binfmt_misc failed"
fi
if [ ! -x "$qemu" ]; then
  { apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user-static >/dev/null; } || fail "installing qemu-user-static failed"
fi
[ "$(head -n1 "$binfmt/status")" = enabled ] || echo 1 >"$binfmt/status"
# An entry of that name that did not make the loader run is replaced.
[ -e "$binfmt/$entry" ] && echo -1 >"$binfmt/$entry"
printf '%s' "$registration" >"$binfmt/register" || fail "binfmt_misc refused the registration"
"$loader" --version >/dev/null 2>&1 || fail "the 32-bit loader still does not run"
echo "install-deps: this kernel cannot run 32-bit programs; registered $qemu for them with" \
  "binfmt_misc ($binfmt/$entry), so the 32-bit plug-in is tested through user-mode emulation"
