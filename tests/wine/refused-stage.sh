#!/usr/bin/env bash
# A refused boot stage recovers: the module simulator refuses boot stage 1
# once with a break; the utility sees the break under Wine's serial driver
# (the pty helper's side channel, fed by the simulator), starts the next
# wake-up attempt, and the update then completes with the flash equal to
# the image.
#
# The reset that the next attempt asks of "RIL1:" has no driver on the
# desktop, so this test resets the simulator through its control FIFO once
# it has refused, standing in for the driver.
source "$(dirname "$0")/support/lib.sh"
: "${MODULESIM:?}" "${IMAGE_DIR:?}"
expect_no_utility
: >"$work/empty.bin"
: >"$work/line-events"
# The refusal waits a little, so that the utility is already waiting for
# the answer when the break comes (Wine reports only conditions that arise
# during a wait).
start_module --flash-in "$work/empty.bin" --flash-out "$work/flash.bin" --line-events "$work/line-events" \
  --switch refuse@stage1=1 --switch delay@stage1=300
PTYHELPER_LINE_EVENTS="$work/line-events" start_fwutil
winctl wait-window 60000 || fail "no main window"
winctl command 118

# The refusal's break has gone out once it is in the side channel.
for ((i = 0; i < 1200; i++)); do
  grep -q '^break$' "$work/line-events" && break
  sleep 0.1
done
grep -q "stage1: .*-> refused" "$work/modulesim.log" || fail "the simulator did not refuse boot stage 1"
[ "$(grep -c '^break$' "$work/line-events")" = 1 ] || fail "the refusal's break was not recorded"
echo reset >"$work/module.ctl"

winctl wait-dialog Successful 240000 >"$work/box.txt" || fail "no success box after the refused stage"
grep -q "stage1: length 184, check 69 good -> A5" "$work/modulesim.log" || fail "boot stage 1 was not accepted after the refusal"
winctl log >"$work/log.txt"
[ "$(grep -c "Bootload1 updated!!" "$work/log.txt")" = 1 ] || fail "log view: $(head -n 8 "$work/log.txt")"
cmp "$work/flash.bin" "$IMAGE_DIR/firmware.bin" || fail "the module's flash differs from the firmware image"

winctl press Successful 1
winctl wait-no-dialog Successful 30000 || fail "the success box stayed after OK"
winctl close
wait_exit "$fwutil" 60
[ "$status" = 0 ] || fail "exit status $status, expected 0"
echo "PASS"
