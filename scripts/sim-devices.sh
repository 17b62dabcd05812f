#!/usr/bin/env bash
# Starts simulated devices (tools/devsim) and makes them visible the way real ones are: as COM
# ports of a Wine prefix, or as ttyACM ports in a fake sysfs tree for the Linux build.
#
#   sim-devices.sh start       STATEDIR DEVSIM DEVICE...                   (needs WINEPREFIX)
#   sim-devices.sh start-linux STATEDIR DEVSIM SYSFSROOT DEVROOT DEVICE...
#   sim-devices.sh stop        STATEDIR
#
# DEVICE is comma-separated:  KIND,N[,ROOT[,NAME[,DEVSIM-OPTION...]]]
#   KIND  flipper | portapack | hackrf
#   N     the port number: COMN under Wine, ttyACMN on Linux
#   ROOT  the device's storage folder (created if missing); empty or left out: a folder in
#         STATEDIR. A HackRF has no shell: its port is a silent simulator.
#   NAME  the Flipper's name (default SimN); ignored for other kinds
#   DEVSIM-OPTION  further devsim options, one per field, e.g. flipper,5,/tmp/f,Abc,--rate,20000
# Examples:  flipper,5,/tmp/flip,Test1   portapack,6,/tmp/sd   hackrf,7
#
# Wine: each slave is linked as $WINEPREFIX/dosdevices/comN; one `regedit /S` call (64-bit Wine) adds
# HKLM\HARDWARE\DEVICEMAP\SERIALCOMM values and HKLM\SYSTEM\CurrentControlSet\Enum\USB\
# VID_vvvv&PID_pppp\<instance> keys (FriendlyName, HardwareID as REG_MULTI_SZ, and PortName under
# "Device Parameters"). The Flipper's instance is flip_<NAME>. The script never starts or ends a
# wineserver itself (regedit starts one for the prefix as Wine always does).
# Linux: SYSFSROOT/class/tty/ttyACMN leads to a tty folder below a USB interface folder whose
# parent, the USB device folder, holds idVendor, idProduct (4 lower-case hex digits), product,
# manufacturer and serial, as Linux writes them; DEVROOT/ttyACMN links to the slave.
# `stop` ends the simulators by their recorded PIDs and removes exactly what `start` added.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

die() { echo "sim-devices: $*" >&2; exit 1; }

# Identity per kind: VID PID product manufacturer serial-or-instance friendly-name
identity() {
  local kind=$1 n=$2 name=$3
  case $kind in
    flipper) echo "0483 5740|Flipper $name|Flipper Devices Inc.|flip_$name|USB Serial Device (COM$n)" ;;
    portapack) echo "1d50 6018|PortaPack Mayhem|Great Scott Gadgets|Transceiver|USB Serial Device (COM$n)" ;;
    hackrf) echo "1d50 6089|HackRF One|Great Scott Gadgets|$(printf '%032x' "$n")|HackRF One (COM$n)" ;;
    *) die "unknown device kind: $kind" ;;
  esac
}

# Starts one devsim; prints its slave path. Records the PID in STATEDIR/pids.
start_sim() {
  local state=$1 devsim=$2 kind=$3 n=$4 root=$5 name=$6
  shift 6
  local args=(--root "$root")
  case $kind in
    flipper) args+=(--device flipper --name "$name") ;;
    portapack) args+=(--device portapack) ;;
    hackrf) args+=(--device portapack --silent) ;;
  esac
  local out="$state/sim$n.out"
  "$devsim" "${args[@]}" "$@" >"$out" 2>"$state/sim$n.err" </dev/null &
  local pid=$!
  echo "$pid" >>"$state/pids"
  local slave=""
  for _ in $(seq 100); do
    slave=$(head -n1 "$out" 2>/dev/null || true)
    [[ -n $slave ]] && break
    kill -0 "$pid" 2>/dev/null || die "devsim for $kind $n ended: $(cat "$state/sim$n.err")"
    sleep 0.1
  done
  [[ -n $slave ]] || die "devsim for $kind $n printed no path within 10 s"
  echo "$slave"
}

# Parses a DEVICE entry into the globals KIND N ROOT NAME EXTRA.
parse_device() {
  local state=$1 entry=$2
  IFS=, read -r -a fields <<<"$entry"
  [[ ${#fields[@]} -ge 2 ]] || die "bad DEVICE '$entry' (KIND,N[,ROOT[,NAME[,OPTION...]]])"
  KIND=${fields[0]}
  N=${fields[1]}
  [[ $N =~ ^[0-9]+$ ]] || die "bad port number in '$entry'"
  ROOT=${fields[2]:-}
  NAME=${fields[3]:-}
  EXTRA=("${fields[@]:4}")
  [[ -n $NAME ]] || NAME="Sim$N"
  if [[ -z $ROOT ]]; then
    ROOT="$state/root$N"
  fi
  mkdir -p "$ROOT"
  ROOT=$(cd "$ROOT" && pwd)
  identity "$KIND" "$N" "$NAME" >/dev/null
}

reg_escape() { local s=${1//\\/\\\\}; echo "${s//\"/\\\"}"; }

# REG_MULTI_SZ in REGEDIT4 form: hex(7): the ANSI strings, each ended by a zero, then a zero.
reg_multi_sz() {
  local out="" s c
  for s in "$@"; do
    for ((i = 0; i < ${#s}; i++)); do
      c=$(printf '%02x' "'${s:i:1}")
      out+="$c,"
    done
    out+="00,"
  done
  echo "hex(7):${out}00"
}

cmd_start() {
  [[ $# -ge 3 ]] || die "usage: $0 start STATEDIR DEVSIM DEVICE..."
  local state=$1 devsim=$2
  shift 2
  [[ -n ${WINEPREFIX:-} ]] || die "WINEPREFIX is not set"
  [[ -d $WINEPREFIX/dosdevices ]] || die "$WINEPREFIX has no dosdevices (run wineboot -i once)"
  [[ -x $devsim ]] || die "not a program: $devsim"
  mkdir -p "$state"
  echo wine >"$state/mode"
  echo "$WINEPREFIX" >"$state/wineprefix"
  local add="$state/add.reg" del="$state/remove.reg"
  printf 'REGEDIT4\r\n\r\n' >"$add"
  printf 'REGEDIT4\r\n\r\n' >"$del"
  local serialcomm="" entry
  for entry in "$@"; do
    parse_device "$state" "$entry"
    local slave
    slave=$(start_sim "$state" "$devsim" "$KIND" "$N" "$ROOT" "$NAME" "${EXTRA[@]}")
    local link="$WINEPREFIX/dosdevices/com$N"
    ln -sfn "$slave" "$link"
    echo "$link" >>"$state/links"
    local id product manufacturer instance friendly vid pid
    IFS='|' read -r id product manufacturer instance friendly <<<"$(identity "$KIND" "$N" "$NAME")"
    read -r vid pid <<<"$id"
    vid=${vid^^} pid=${pid^^}
    [[ $KIND == flipper ]] || instance="7&5135AF&0&000$N"
    local key="HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_${vid}&PID_${pid}\\$instance"
    {
      printf '[%s]\r\n' "$key"
      printf '"FriendlyName"="%s"\r\n' "$(reg_escape "$friendly")"
      printf '"Mfg"="%s"\r\n' "$(reg_escape "$manufacturer")"
      printf '"HardwareID"=%s\r\n\r\n' \
        "$(reg_multi_sz "USB\\VID_${vid}&PID_${pid}&REV_0100" "USB\\VID_${vid}&PID_${pid}")"
      printf '[%s\\Device Parameters]\r\n"PortName"="COM%s"\r\n\r\n' "$key" "$N"
    } >>"$add"
    printf '[-%s]\r\n\r\n' "$key" >>"$del"
    serialcomm+=$(printf '"\\\\Device\\\\QuarnelSim%s"="COM%s"\r\n' "$N" "$N")
    printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"\\\\Device\\\\QuarnelSim%s"=-\r\n\r\n' "$N" >>"$del"
    echo "sim-devices: $KIND on COM$N -> $slave (root $ROOT)"
  done
  printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n%s\r\n' "$serialcomm" >>"$add"
  WINEDEBUG=${WINEDEBUG:--all} "$QUARNEL_WINE64" regedit /S "$add" || die "wine regedit failed"
}

cmd_start_linux() {
  [[ $# -ge 5 ]] || die "usage: $0 start-linux STATEDIR DEVSIM SYSFSROOT DEVROOT DEVICE..."
  local state=$1 devsim=$2 sysfs=$3 devroot=$4
  shift 4
  [[ -x $devsim ]] || die "not a program: $devsim"
  mkdir -p "$state" "$sysfs/class/tty" "$devroot"
  echo linux >"$state/mode"
  local entry
  for entry in "$@"; do
    parse_device "$state" "$entry"
    local slave
    slave=$(start_sim "$state" "$devsim" "$KIND" "$N" "$ROOT" "$NAME" "${EXTRA[@]}")
    local id product manufacturer serial friendly vid pid
    IFS='|' read -r id product manufacturer serial friendly <<<"$(identity "$KIND" "$N" "$NAME")"
    read -r vid pid <<<"$id"
    local tty="ttyACM$N"
    local port=$((N + 1))  # USB port numbers start at 1
    local usbdev="$sysfs/devices/pci0000:00/0000:00:14.0/usb1/1-$port"
    local iface="$usbdev/1-$port:1.0"
    mkdir -p "$iface/tty/$tty"
    printf '%s\n' "$vid" >"$usbdev/idVendor"
    printf '%s\n' "$pid" >"$usbdev/idProduct"
    printf '%s\n' "$product" >"$usbdev/product"
    printf '%s\n' "$manufacturer" >"$usbdev/manufacturer"
    printf '%s\n' "$serial" >"$usbdev/serial"
    ln -sfn ../.. "$iface/tty/$tty/device"
    ln -sfn "../../devices/pci0000:00/0000:00:14.0/usb1/1-$port/1-$port:1.0/tty/$tty" \
      "$sysfs/class/tty/$tty"
    ln -sfn "$slave" "$devroot/$tty"
    printf '%s\n' "$usbdev" "$sysfs/class/tty/$tty" "$devroot/$tty" >>"$state/created"
    echo "sim-devices: $KIND on $tty -> $slave (root $ROOT)"
  done
}

cmd_stop() {
  [[ $# -eq 1 ]] || die "usage: $0 stop STATEDIR"
  local state=$1 pid
  [[ -d $state ]] || return 0
  if [[ -f $state/pids ]]; then
    while read -r pid; do
      # Only a devsim of ours: the PID may have been reused since.
      if [[ -r /proc/$pid/cmdline ]] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q devsim; then
        kill -TERM "$pid" 2>/dev/null || true
      fi
    done <"$state/pids"
    while read -r pid; do
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      if kill -0 "$pid" 2>/dev/null && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q devsim; then
        kill -KILL "$pid" 2>/dev/null || true
      fi
    done <"$state/pids"
    rm -f "$state/pids"
  fi
  if [[ -f $state/links ]]; then
    xargs -r -d '\n' rm -f <"$state/links"
    rm -f "$state/links"
  fi
  if [[ -f $state/created ]]; then
    xargs -r -d '\n' rm -rf <"$state/created"
    rm -f "$state/created"
  fi
  if [[ $(cat "$state/mode" 2>/dev/null) == wine && -f $state/remove.reg ]]; then
    WINEPREFIX=$(cat "$state/wineprefix") WINEDEBUG=${WINEDEBUG:--all} \
      "$QUARNEL_WINE64" regedit /S "$state/remove.reg" || echo "sim-devices: removing registry entries failed" >&2
    rm -f "$state/remove.reg" "$state/add.reg"
  fi
}

case ${1:-} in
  start) shift; cmd_start "$@" ;;
  start-linux) shift; cmd_start_linux "$@" ;;
  stop) shift; cmd_stop "$@" ;;
  *) die "usage: $0 start|start-linux|stop ... (see the header of this script)" ;;
esac
