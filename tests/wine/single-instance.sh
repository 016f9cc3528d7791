#!/usr/bin/env bash
# One copy at a time, across processes: a second start ends at once with
# -1 (status 255) and leaves the first running; the first ends with 0 by
# the done button (command 1), and a copy started after it runs again.
source "$(dirname "$0")/support/lib.sh"
expect_no_utility
start_fwutil first
first=$fwutil
winctl wait-window 60000 || fail "no main window"

start_fwutil second
wait_exit "$fwutil" 60
[ "$status" = 255 ] || fail "second copy: exit status $status, expected 255 (-1)"
kill -0 "$first" 2>/dev/null || fail "the first copy ended with the second"
winctl wait-window 1000 || fail "the first copy's window is gone"

winctl command 1
wait_exit "$first" 60
[ "$status" = 0 ] || fail "first copy: exit status $status after the done button, expected 0"

start_fwutil third
winctl wait-window 60000 || fail "a copy started after the first ended shows no window"
winctl close
wait_exit "$fwutil" 60
[ "$status" = 0 ] || fail "third copy: exit status $status after WM_CLOSE, expected 0"
echo "PASS"
