# Shared by the Wine tests (sourced). The environment names the pieces:
# WINE_STATE (the fixture's folder), FWUTIL_EXE, WINCTL, MODULESIM,
# PTYHELPER, IMAGE_DIR.
set -euo pipefail
: "${WINE_STATE:?}" "${FWUTIL_EXE:?}" "${WINCTL:?}"
export WINEPREFIX="$WINE_STATE/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
DISPLAY=$(cat "$WINE_STATE/display")
export DISPLAY
ports="$WINE_STATE/ports"
work=$(mktemp -d "$WINE_STATE/$(basename "$0" .sh).XXXXXX")
background=()

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out "$work"/*.log; do
    [ -f "$f" ] && { echo "--- $(basename "$f") (last lines)" >&2; tail -n 40 "$f" >&2; }
  done
  exit 1
}

# Everything a test starts ends with it, also when it fails.
finish() {
  local pid
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${background[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -f "$ports"/com?
}
trap finish EXIT

winctl() { timeout 120 wine "$WINCTL" "$@"; }

# Starts fwutil.exe; its pid is in $fwutil, its output in NAME.out. The pty
# helper is preloaded for its serial ports.
start_fwutil() {
  local name=${1:-fwutil}
  LD_PRELOAD="${PTYHELPER:-}" wine "$FWUTIL_EXE" >"$work/$name.out" 2>&1 &
  fwutil=$!
  background+=("$fwutil")
}

# wait_exit PID SECONDS: the process's exit status in $status.
wait_exit() {
  local pid=$1 limit=$(($2 * 10)) i
  for ((i = 0; i < limit; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "process $pid did not end within $2 s"
  status=0
  wait "$pid" || status=$?
}

# A pseudo-terminal pair: COMn of the prefix at one end, $work/NAME at the other.
pty_pair() {
  local com=$1 name=$2 i
  socat -d -d "pty,raw,echo=0,link=$ports/com$com" "pty,raw,echo=0,link=$work/$name" 2>"$work/socat-$name.log" &
  background+=($!)
  for ((i = 0; i < 100; i++)); do
    [ -e "$ports/com$com" ] && [ -e "$work/$name" ] && return 0
    sleep 0.1
  done
  fail "socat made no pty pair for COM$com"
}

# modulesim on the far end of COM1: modulesim ARGS...
start_module() {
  pty_pair 1 module
  "$MODULESIM" --tty "$work/module" --control "$work/module.ctl" --status 0 "$@" 2>"$work/modulesim.log" &
  module=$!
  background+=("$module")
  for ((i = 0; i < 100; i++)); do
    [ -p "$work/module.ctl" ] && return 0
    sleep 0.1
  done
  fail "modulesim did not start"
}

# No utility of an earlier test is left on the desktop.
expect_no_utility() { winctl wait-gone 10000 || fail "a Firmware Utility window is already open"; }
