#!/usr/bin/env bash
# A conformance test program built for Win32, run under Wine:
#   conformance.sh PROGRAM.exe
source "$(dirname "$0")/support/lib.sh"
program=$1
status=0
timeout 150 wine "$program" --gtest_color=no >"$work/gtest.out" 2>&1 || status=$?
grep -v '^it looks like wine32\|^multiarch needs\|^execute "dpkg\|^apt-get install wine32' "$work/gtest.out"
[ "$status" = 0 ] || fail "$(basename "$program"): status $status"
