#!/usr/bin/env bash
# A whole update over COM1 (a pty pair under Wine's serial driver) against
# the module simulator: the log view's texts in order, the success box, and
# the module's flash equal to the firmware image byte for byte.
#
# The desktop has no radio interface driver "RIL1:", so the utility's reset
# requests fail there (and say so); the simulator starts without a valid
# image, so its boot-strap loader listens without a reset.
source "$(dirname "$0")/support/lib.sh"
: "${MODULESIM:?}" "${IMAGE_DIR:?}"
expect_no_utility
: >"$work/empty.bin"
start_module --flash-in "$work/empty.bin" --flash-out "$work/flash.bin"
start_fwutil
winctl wait-window 60000 || fail "no main window"

winctl command 118
winctl wait-dialog Successful 240000 >"$work/box.txt" || fail "no success box"
grep -q 'text="Reboot device/Reset module !"' "$work/box.txt" || fail "success box: $(cat "$work/box.txt")"
winctl log >"$work/log.txt"
for text in "Bootload1 updated!!" "Bootload2 updated!!" "Wait a moment please..." "Firmware Updated....Done"; do
  grep -qF "$text" "$work/log.txt" || fail "the log view lacks \"$text\": $(cat "$work/log.txt")"
done
hashes=$(tr -cd '#' <"$work/log.txt" | wc -c)
[ "$hashes" -ge 600 ] || fail "$hashes section marks in the log view"

cmp "$work/flash.bin" "$IMAGE_DIR/firmware.bin" || fail "the module's flash differs from the firmware image"

# After the box come the module reset and the reboot, neither of which the
# desktop offers: the utility stays open.
winctl press Successful 1
winctl wait-no-dialog Successful 30000 || fail "the success box stayed after OK"
kill -0 "$fwutil" 2>/dev/null || fail "the utility ended after the success box"
winctl close
wait_exit "$fwutil" 60
[ "$status" = 0 ] || fail "exit status $status, expected 0"
echo "PASS"
