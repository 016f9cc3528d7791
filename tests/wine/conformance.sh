#!/usr/bin/env bash
# A conformance test program built for Win32, run under Wine:
#   conformance.sh PROGRAM.exe
# COM4 and COM5 of the prefix are the two ends of a pty pair meanwhile (the
# serial cases' port and its peer), with the pty helper preloaded.
source "$(dirname "$0")/support/lib.sh"
program=$1
socat -d -d "pty,raw,echo=0,link=$ports/com4" "pty,raw,echo=0,link=$ports/com5" 2>"$work/socat.log" &
background+=($!)
for ((i = 0; i < 100; i++)); do
  [ -e "$ports/com4" ] && [ -e "$ports/com5" ] && break
  sleep 0.1
done
[ -e "$ports/com4" ] && [ -e "$ports/com5" ] || fail "socat made no pty pair for COM4 and COM5"
status=0
LD_PRELOAD="${PTYHELPER:-}" timeout 150 wine "$program" --gtest_color=no >"$work/gtest.out" 2>&1 || status=$?
grep -v '^it looks like wine32\|^multiarch needs\|^execute "dpkg\|^apt-get install wine32' "$work/gtest.out"
[ "$status" = 0 ] || fail "$(basename "$program"): status $status"
