#!/usr/bin/env bash
# Shows the plug-in at work: a simulated PortaPack and Flipper Zero (with a few files on their
# cards) and a HackRF One, served by tools/devsim on pseudo-terminals and linked as COM ports of a
# Wine prefix, and the 64-bit Windows plug-in driven by wfxhost.exe the way Total Commander drives
# it: the root listing, both devices browsed, a download and an upload with the progress bar, a
# rename, a delete, the HackRF's message, a disconnect. Then the log window's lines, the end of the
# debug log and the release archives. Cleans up after itself, also when interrupted (Ctrl+C).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
work=$(mktemp -d)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$repo/scripts/wine-env.sh"
server_started=0
cleanup() {
  trap - EXIT INT TERM
  bash "$repo/scripts/sim-devices.sh" stop "$work/sims" >/dev/null 2>&1 || true
  [ "$server_started" = 1 ] && { wineserver -k >/dev/null 2>&1 || true; }
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "Interrupted: cleaning up."; exit 130' INT TERM
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
started=$(date +%s)

# Some files on the simulated cards.
mkdir -p "$work/sd/APPS" "$work/sd/CAPTURES" "$work/flipper/ext/subghz" "$work/flipper/ext/infrared" \
  "$work/flipper/int" "$work/local"
printf 'Hello from the PortaPack.\r\n' >"$work/sd/README.TXT"
head -c 70000 /dev/urandom >"$work/sd/CAPTURES/capture.C16"
printf 'Filetype: Flipper SubGhz Key File\nVersion: 1\nFrequency: 433920000\n' \
  >"$work/flipper/ext/subghz/My Garage.sub"
printf 'Filetype: IR signals file\nVersion: 1\n' >"$work/flipper/ext/infrared/TV.ir"
head -c 100000 /dev/urandom >"$work/local/photo.jpg"

say "Wine: a prefix for the Windows plug-in (created once, about 15 s)"
[ -n "$QUARNEL_WINE32_SKIP" ] && echo "wine32: skipped ($QUARNEL_WINE32_SKIP); the 64-bit plug-in runs"
quarnel_wine_prefix || { echo "wineboot failed"; exit 1; }
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null  # keeps the volatile port map alive between steps
server_started=1
rm -f "$WINEPREFIX"/drive_c/users/*/AppData/Local/Temp/quarnel.log \
  "$WINEPREFIX"/drive_c/users/*/Temp/quarnel.log 2>/dev/null || true

say "Simulated devices on COM5 (PortaPack), COM6 (Flipper Zero 'Demo') and COM7 (HackRF One)"
bash "$repo/scripts/sim-devices.sh" start "$work/sims" "$build/linux/devsim" \
  "portapack,5,$work/sd" "flipper,6,$work/flipper,Demo" hackrf,7

pp='\PortaPack (COM5)' fz='\Flipper Zero Demo (COM6)' local="Z:$work/local"
cat >"$work/tour.txt" <<EOF
ls \\
ls "$pp"
ls "$pp\\CAPTURES"
get "$pp\\CAPTURES\\capture.C16" "$local/capture.C16"
ls "$fz"
ls "$fz\\ext\\subghz"
put "$local/photo.jpg" "$fz\\ext\\photo.jpg"
mv "$fz\\ext\\photo.jpg" "$fz\\ext\\picture.jpg"
rm "$pp\\README.TXT"
ls "$pp"
ls "$fz\\ext"
ls "\\HackRF One (COM7, no shell)"
disconnect "$pp"
disconnect "$fz"
EOF

say "Total Commander's view: wfxhost.exe drives quarnel.wfx64 (details go to the log window below)"
set +e
quarnel_wine win64 "$build/win64/wfxhost.exe" --progress auto --details "Z:$work/details.txt" \
  "Z:$build/win64/quarnel.wfx64" run "Z:$work/tour.txt" 2>&1 | tee "$work/tour.out"
set -e
# wfxhost's own status counts the HackRF folder, which is meant to fail; the checks below decide.
tour_status=0
for expected in 'FsGetFile: FS_FILE_OK' 'FsPutFile: FS_FILE_OK' 'FsRenMovFile: FS_FILE_OK' \
  'FsDeleteFile: TRUE' 'Verbindung zu "HackRF One (COM7, no shell)" fehlgeschlagen.' \
  'FsDisconnect: TRUE'; do
  grep -qF "$expected" "$work/tour.out" || { echo "missing: $expected"; tour_status=1; }
done

say "The bytes"
if cmp -s "$work/sd/CAPTURES/capture.C16" "$work/local/capture.C16"; then
  echo "capture.C16: 70000 bytes downloaded, identical to the card's copy"
else
  echo "capture.C16: the download differs from the card's copy"
  tour_status=1
fi
if cmp -s "$work/local/photo.jpg" "$work/flipper/ext/picture.jpg"; then
  echo "photo.jpg: 100000 bytes uploaded and renamed to picture.jpg, identical on the Flipper's card"
else
  echo "picture.jpg on the Flipper's card differs from photo.jpg"
  tour_status=1
fi
[ -e "$work/sd/README.TXT" ] && { echo "README.TXT is still on the PortaPack"; tour_status=1; }

say "The host's log window: $(($(grep -c '^log\[' "$work/tour.out") + $(wc -l <"$work/details.txt"))) lines; the notices, then the last details"
tr -d '\r' <"$work/tour.out" | grep -E '^log\[' || true
tr -d '\r' <"$work/details.txt" | tail -n 8

say "The end of the debug log (quarnel.log in the Windows temporary folder)"
log=$(find "$WINEPREFIX/drive_c/users" -name quarnel.log 2>/dev/null | head -n1)
[ -n "$log" ] && tail -n 12 "$log" | tr -d '\r'

say "The installable archives (make dist)"
version=$(grep -m1 -o 'quarnel VERSION [0-9.]*' "$repo/CMakeLists.txt" | cut -d' ' -f3)
bash "$repo/packaging/make-dist.sh" "$version" | while read -r zip; do
  echo "$zip ($(du -k "$zip" | cut -f1) KiB)"
done
echo "Total Commander: open the windows zip and confirm the installation; Double Commander: see README."

say "Done in $(($(date +%s) - started)) s: the simulators and the wineserver are stopped, the demo's files removed."
exit "$tour_status"
