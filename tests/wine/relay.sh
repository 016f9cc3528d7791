#!/usr/bin/env bash
# The serial relay's whole life with one partner:
#   relay.sh irda|bt
# irda: the default partner, the IrDA port "COM3:", which the utility opens
# with its driver's own time-outs; bt: the Bluetooth UART, found through the
# registry as the module UART is (Drivers\BuiltIn\Serial and Serial2, Index
# 1 and 2). Start, "AT" in at the partner's far end reaches the module
# simulator's AT responder on COM1 and its "OK" comes back (the log view
# counts both directions), release; the same once more; then Exit, with exit
# status 0. The release ends the copy threads' transfers, so none is ended
# by force (the trace would say so). A release that leaves a copy thread
# holding a lock of the desktop's shows here as a hang at the release, at
# the next start or at the exit.
source "$(dirname "$0")/support/lib.sh"
: "${MODULESIM:?}"
partner=${1:?irda or bt}
case $partner in
  irda) partner_port=3 opened="IRDA(COM3:) opened" ;;
  bt) partner_port=2 opened="COM2: opened" ;;
  *) fail "unknown partner '$partner'" ;;
esac
expect_no_utility
start_module
pty_pair "$partner_port" partner
# The program's trace (OutputDebugStringW), as a debug-output monitor sees it.
wine "$WINCTL" debug-output >"$work/trace.log" 2>/dev/null &
background+=($!)
for ((i = 0; i < 300; i++)); do
  grep -q "monitor ready" "$work/trace.log" && break
  sleep 0.1
done
grep -q "monitor ready" "$work/trace.log" || fail "the debug-output monitor did not start"
start_fwutil
winctl wait-window 60000 || fail "no main window"

# wait_count TEXT N SECONDS: the log view holds TEXT at least N times.
wait_count() {
  local text=$1 count=$2 limit=$(($3 * 10)) i
  for ((i = 0; i < limit; i++)); do
    winctl log >"$work/log.txt" || true
    [ "$(grep -cF "$text" "$work/log.txt")" -ge "$count" ] && return 0
    sleep 0.1
  done
  return 1
}

# round_trip N: "AT" in, "OK" back through both copy threads, and the
# N-th count of each direction in the log view.
round_trip() {
  local round=$1
  printf 'AT\r' | timeout 60 socat -t 5 - "FILE:$work/partner,raw,echo=0" >"$work/answer.txt" ||
    fail "socat at the partner failed (round $round)"
  grep -q "OK" "$work/answer.txt" ||
    fail "no OK from the module through the relay (round $round): '$(cat -v "$work/answer.txt")'"
  wait_count "bytes ->BT->FF->" "$round" 30 || fail "no count of the partner-to-module direction (round $round)"
  wait_count "bytes <-BT<-FF<-" "$round" 30 || fail "no count of the module-to-partner direction (round $round)"
}

if [ "$partner" = bt ]; then winctl command 110; fi
for round in 1 2; do
  winctl command 153
  wait_count "Baudrate:115200,Parity:none" "$round" 30 || fail "the relay did not start (round $round): $(cat "$work/log.txt")"
  grep -qF "COM1: opened" "$work/log.txt" || fail "module UART: $(cat "$work/log.txt")"
  grep -qF "$opened" "$work/log.txt" || fail "partner ($partner): $(cat "$work/log.txt")"
  grep -qF "failed" "$work/log.txt" && fail "a port did not open (round $round): $(cat "$work/log.txt")"
  round_trip "$round"

  winctl command 155
  wait_count "COMs released, R/W threads stopped" "$round" 30 ||
    fail "the release did not end (round $round): $(cat "$work/log.txt")"
done

winctl command 101
wait_exit "$fwutil" 60
[ "$status" = 0 ] || fail "exit status $status, expected 0"
grep -qF "get current dir" "$work/trace.log" || fail "the utility's trace did not reach the monitor"
if grep -F "terminated!!" "$work/trace.log"; then fail "the release ended a copy thread by force"; fi
echo "PASS"
