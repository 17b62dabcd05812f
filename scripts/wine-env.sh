# How this machine starts Windows programs under Wine. Sourced (never run) by every script that
# starts one: tests/wine/run.sh and its tests, scripts/demo.sh, scripts/sim-devices.sh.
#
# 32-bit (i386) programs run in one of three ways, and this file finds out which by running the
# 32-bit loader, never by guessing from the architecture:
# - natively: the kernel has IA-32 emulation;
# - through user-mode emulation: the kernel has none, but binfmt_misc hands i386 programs to an
#   interpreter such as qemu-i386-static (scripts/install-deps.sh sets that up as root). Wine's
#   32-bit loader then works, slowly: each 32-bit process start costs seconds of emulated work;
# - not at all: running the 32-bit loader gives "Exec format error". There Debian's `wine` script
#   fails for every program, 64-bit ones included, because it starts the 32-bit loader whenever
#   wine32 is installed; the 64-bit loader (/usr/lib/wine/wine64) works.
#
# After sourcing:
#   QUARNEL_WINE32_MODE   how 32-bit programs run here: native, emulated or skipped
#   QUARNEL_WINE32_HOW    the same in words, for summary lines: "runs natively", "runs through
#                         user-mode emulation (qemu-i386-static)" or "skipped (REASON)"
#   QUARNEL_WINE32_SKIP   why the 32-bit programs do not run here; empty where they do
#   QUARNEL_WINE64        the command that starts 64-bit programs (also wineboot, reg, regedit)
#   QUARNEL_WINE32        the command that starts 32-bit programs; empty where they cannot run
#   QUARNEL_WINE_TARGETS  the Windows build folders whose programs run here: "win64 win32" or "win64"
#   quarnel_wine TARGET PROGRAM [ARG...]   runs PROGRAM with the loader of TARGET (win64 or win32)
# QUARNEL_WINE32=0 in the environment forces the path of a machine that cannot run 32-bit programs,
# so that both paths can be tested on any machine.

QUARNEL_I386_LOADER=${QUARNEL_I386_LOADER:-/lib/ld-linux.so.2}

# Prints the program the kernel really runs for the 32-bit loader: the loader itself where it runs
# natively, the interpreter that binfmt_misc chose where it is emulated. The loader is started on a
# FIFO, where it waits for input until it has been looked at.
quarnel_i386_runner() {
  local hold pid self exe="" _
  hold=$(mktemp -u "${TMPDIR:-/tmp}/quarnel-i386.XXXXXX") && mkfifo "$hold" || return 1
  "$QUARNEL_I386_LOADER" "$hold" >/dev/null 2>&1 &
  pid=$!
  self=$(readlink "/proc/$$/exe")
  # Until the child has called exec it is a copy of this shell.
  for _ in $(seq 250); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null)
    [ -n "$exe" ] && [ "$exe" != "$self" ] && break
    exe=""
    sleep 0.02
  done
  : >"$hold"  # the loader reads an empty file and ends
  wait "$pid" 2>/dev/null
  rm -f "$hold"
  [ -n "$exe" ] && echo "$exe"
}

quarnel_wine_probe() {
  QUARNEL_WINE32_SKIP=""
  QUARNEL_WINE32_MODE=native
  local runner=""
  if [ "${QUARNEL_WINE32:-}" = 0 ]; then
    QUARNEL_WINE32_SKIP="QUARNEL_WINE32=0: treated as a machine that cannot run 32-bit programs"
  elif [ ! -x /usr/lib/wine/wine ]; then
    QUARNEL_WINE32_SKIP="wine32 is not installed"
  elif ! "$QUARNEL_I386_LOADER" --version >/dev/null 2>&1; then
    QUARNEL_WINE32_SKIP="this machine cannot run 32-bit programs"
  else
    runner=$(quarnel_i386_runner)
    if [ "$runner" != "$(readlink -f "$QUARNEL_I386_LOADER")" ]; then
      QUARNEL_WINE32_MODE=emulated
    fi
  fi

  if [ -n "$QUARNEL_WINE32_SKIP" ]; then
    QUARNEL_WINE32_MODE=skipped
    QUARNEL_WINE32_HOW="skipped ($QUARNEL_WINE32_SKIP)"
  elif [ "$QUARNEL_WINE32_MODE" = native ]; then
    QUARNEL_WINE32_HOW="runs natively"
  else
    QUARNEL_WINE32_HOW="runs through user-mode emulation ($(basename "${runner:-unseen}"))"
  fi

  if [ "$QUARNEL_WINE32_MODE" = native ]; then
    # Nothing changes where both run: Debian's script picks the loader for each program.
    QUARNEL_WINE64=wine
    QUARNEL_WINE32=wine
    QUARNEL_WINE_TARGETS="win64 win32"
  else
    # Debian's script would start every program with the 32-bit loader first: emulated, that alone
    # costs seconds; where 32-bit programs cannot run, it fails.
    QUARNEL_WINE64=/usr/lib/wine/wine64
    [ -x "$QUARNEL_WINE64" ] || QUARNEL_WINE64=wine64
    # Processes that Wine starts on its own (services at wineboot) use the same loader; Wine finds
    # the 32-bit one beside it (wine for wine64).
    WINELOADER=$(command -v "$QUARNEL_WINE64" 2>/dev/null || echo "$QUARNEL_WINE64")
    export WINELOADER
    if [ "$QUARNEL_WINE32_MODE" = emulated ]; then
      QUARNEL_WINE32=/usr/lib/wine/wine
      QUARNEL_WINE_TARGETS="win64 win32"
      # Debian 12's qemu-i386-static (7.2) ignores MAP_FIXED_NOREPLACE, and Wine's 32-bit loader
      # then reserves the upper half of a 4 GiB guest address space in 64 KiB steps, each a search
      # through qemu's page table: about a minute before every 32-bit process starts. A guest
      # space of 2 GiB (what a Windows program gets) plus room for the guest stack above it starts
      # one in seconds. Only qemu reads this variable.
      export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x82000000}
    else
      QUARNEL_WINE32=""
      QUARNEL_WINE_TARGETS="win64"
    fi
  fi
  export QUARNEL_WINE64 QUARNEL_WINE32 QUARNEL_WINE_TARGETS QUARNEL_WINE32_SKIP \
    QUARNEL_WINE32_MODE QUARNEL_WINE32_HOW
}

quarnel_wine() {
  local target=$1
  shift
  case $target in
    win64) "$QUARNEL_WINE64" "$@" ;;
    win32)
      if [ -z "$QUARNEL_WINE32" ]; then
        echo "wine32: cannot run here ($QUARNEL_WINE32_SKIP)" >&2
        return 125
      fi
      "$QUARNEL_WINE32" "$@"
      ;;
    *)
      echo "quarnel_wine: unknown target $target" >&2
      return 2
      ;;
  esac
}

# Creates the prefix on first use with the loader that works here: about 13 s natively; where
# 32-bit programs are emulated, wineboot's 32-bit half (two processes) runs emulated too.
quarnel_wine_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  local limit=300
  [ "$QUARNEL_WINE32_MODE" = emulated ] && limit=1200
  timeout "$limit" "$QUARNEL_WINE64" wineboot -i >/dev/null 2>&1 || return 1
  timeout "$limit" wineserver -w
}

quarnel_wine_probe
