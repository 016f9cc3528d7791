#!/usr/bin/env bash
# The serial relay with the Bluetooth UART as partner, both found through
# the registry (Drivers\BuiltIn\Serial and Serial2, Index 1 and 2): "AT" in
# at the partner's far end reaches the module simulator's AT responder on
# COM1, and its "OK" comes back; the log view counts both directions.
source "$(dirname "$0")/support/lib.sh"
: "${MODULESIM:?}"
expect_no_utility
start_module
pty_pair 2 partner
start_fwutil
winctl wait-window 60000 || fail "no main window"

winctl command 110
winctl command 153
winctl wait-log "Baudrate:115200,Parity:none" 30000 || fail "the relay did not start"
winctl log >"$work/log.txt"
grep -qF "COM1: opened" "$work/log.txt" || fail "module UART: $(cat "$work/log.txt")"
grep -qF "COM2: opened" "$work/log.txt" || fail "Bluetooth UART: $(cat "$work/log.txt")"

# AT in, OK back, through both copy threads.
printf 'AT\r' | timeout 60 socat -t 5 - "FILE:$work/partner,raw,echo=0" >"$work/answer.txt" ||
  fail "socat at the partner failed"
grep -q "OK" "$work/answer.txt" || fail "no OK from the module through the relay: '$(cat -v "$work/answer.txt")'"
winctl wait-log "bytes ->BT->FF->" 30000 || fail "no count of the partner-to-module direction"
winctl wait-log "bytes <-BT<-FF<-" 30000 || fail "no count of the module-to-partner direction"

winctl command 155
winctl wait-log "COMs released, R/W threads stopped" 30000 || fail "the relay was not released"
winctl close
wait_exit "$fwutil" 60
[ "$status" = 0 ] || fail "exit status $status, expected 0"
echo "PASS"
