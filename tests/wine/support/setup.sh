#!/usr/bin/env bash
# Fixture of the Wine tests: a private Wine prefix on a private X server.
#   [WINEARCH=win32|win64] setup.sh STATE_DIR
# The prefix is a 32-bit one (win32) unless WINEARCH says otherwise.
# Starts Xvfb on a free display, makes the prefix (wineboot -i), maps
# COM1..COM5 through the registry to links under STATE_DIR/ports (each test
# points them at its own pseudo-terminals), gives the relay its UART entries
# and turns on a virtual desktop. cleanup.sh undoes it.
set -euo pipefail
state=$(realpath -m "$1")
[ -f "$state/xvfb.pid" ] && bash "$(dirname "$0")/cleanup.sh" "$state" || true
rm -rf "$state"
mkdir -p "$state/ports"

display=""
for n in $(seq 91 160); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
    echo "$pid" >"$state/xvfb.pid"
    display=":$n"
    break
  fi
  kill "$pid" 2>/dev/null || true
done
[ -n "$display" ] || { echo "no free X display for Xvfb" >&2; exit 1; }
echo "$display" >"$state/display"

export DISPLAY=$display WINEPREFIX="$state/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=${WINEARCH:-win32}
timeout 300 wineboot -i >"$state/wineboot.log" 2>&1

ports="$state/ports"
cat >"$state/setup.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM1"="$ports/com1"
"COM2"="$ports/com2"
"COM3"="$ports/com3"
"COM4"="$ports/com4"
"COM5"="$ports/com5"

[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]
"Index"=dword:00000001

[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2]
"Index"=dword:00000002

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="800x600"
REG
timeout 120 wine regedit /S "$(winepath -w "$state/setup.reg" 2>/dev/null || echo "Z:$state/setup.reg")"
# The port mappings take effect when the prefix starts again.
timeout 60 wineserver -k || true
timeout 60 wineserver -w || true
timeout 120 wine cmd /c exit >/dev/null 2>&1
timeout 60 wineserver -w || true
# The registry is on disk once the server has ended: the prefix's word size.
grep -q "^#arch=$WINEARCH" "$WINEPREFIX/system.reg" || {
  echo "wineboot made no $WINEARCH prefix (a win32 one needs the 32-bit Wine, wine32:i386: scripts/deps.sh --wine)" >&2
  tail -n 20 "$state/wineboot.log" >&2
  exit 1
}
for n in 1 2 3 5; do
  link=$(readlink "$WINEPREFIX/dosdevices/com$n" || true)
  [ "$link" = "$ports/com$n" ] || { echo "COM$n is mapped to '$link', not $ports/com$n" >&2; exit 1; }
done
echo "$WINEARCH Wine prefix ready on $display"
