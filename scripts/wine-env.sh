# How this machine starts Windows programs under Wine. Sourced (never run) by every script that
# starts one: tests/wine/run.sh and its tests, scripts/demo.sh, scripts/sim-devices.sh.
#
# Some machines cannot run 32-bit (i386) programs at all: their kernel has no IA-32 emulation, and
# running the 32-bit loader gives "Exec format error". There Debian's `wine` script fails for every
# program, 64-bit ones included, because it starts the 32-bit loader whenever wine32 is installed;
# the 64-bit loader (/usr/lib/wine/wine64) works. Other machines of the same kind run both. So this
# file probes by running the 32-bit loader once, and never guesses from the architecture.
#
# After sourcing:
#   QUARNEL_WINE64        the command that starts 64-bit programs (also wineboot, reg, regedit)
#   QUARNEL_WINE32        the command that starts 32-bit programs; empty where they cannot run
#   QUARNEL_WINE_TARGETS  the Windows build folders whose programs run here: "win64 win32" or "win64"
#   QUARNEL_WINE32_SKIP   why the 32-bit programs do not run here; empty where they do
#   quarnel_wine TARGET PROGRAM [ARG...]   runs PROGRAM with the loader of TARGET (win64 or win32)
# QUARNEL_WINE32=0 in the environment forces the path of a machine that cannot run 32-bit programs,
# so that both paths can be tested on any machine.

quarnel_wine_probe() {
  QUARNEL_WINE32_SKIP=""
  if [ "${QUARNEL_WINE32:-}" = 0 ]; then
    QUARNEL_WINE32_SKIP="QUARNEL_WINE32=0: treated as a machine that cannot run 32-bit programs"
  elif [ ! -x /usr/lib/wine/wine ]; then
    QUARNEL_WINE32_SKIP="wine32 is not installed"
  elif ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    QUARNEL_WINE32_SKIP="this machine cannot run 32-bit programs"
  fi

  if [ -z "$QUARNEL_WINE32_SKIP" ]; then
    # Nothing changes where both run: Debian's script picks the loader for each program.
    QUARNEL_WINE64=wine
    QUARNEL_WINE32=wine
    QUARNEL_WINE_TARGETS="win64 win32"
  else
    QUARNEL_WINE64=/usr/lib/wine/wine64
    [ -x "$QUARNEL_WINE64" ] || QUARNEL_WINE64=wine64
    QUARNEL_WINE32=""
    QUARNEL_WINE_TARGETS="win64"
    # Processes that Wine starts on its own (services at wineboot) use the same loader.
    WINELOADER=$(command -v "$QUARNEL_WINE64" 2>/dev/null || echo "$QUARNEL_WINE64")
    export WINELOADER
  fi
  export QUARNEL_WINE64 QUARNEL_WINE32 QUARNEL_WINE_TARGETS QUARNEL_WINE32_SKIP
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

# Creates the prefix on first use (about 13 s) with the loader that works here.
quarnel_wine_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  "$QUARNEL_WINE64" wineboot -i >/dev/null 2>&1 || return 1
  wineserver -w
}

quarnel_wine_probe
