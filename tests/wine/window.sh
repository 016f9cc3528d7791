#!/usr/bin/env bash
# The main window as the desktop shows it: class and title, the menu from
# the menu resource, the read-only log view with the banner first, the
# About box and its text; the menu works from the keyboard (Exit closes with
# status 0).
source "$(dirname "$0")/support/lib.sh"
expect_no_utility
start_fwutil
winctl wait-window 60000 || fail "no main window"

winctl tree >"$work/tree.txt"
grep -qx 'window class="Firmware Utility" title="Firmware Utility" visible=1' "$work/tree.txt" ||
  fail "main window: $(cat "$work/tree.txt")"
grep -qx 'menu' "$work/tree.txt" || fail "the main window has no menu"
grep -qx 'child 5 class=Edit visible=1 multiline=1 readonly=1' "$work/tree.txt" || fail "log view: $(cat "$work/tree.txt")"

# The menu the window carries comes from menu resource 105.
winctl resource-menu "$(winepath -w "$FWUTIL_EXE")" 105 >"$work/menu.txt"
diff -u - "$work/menu.txt" <<'MENU' || fail "menu resource 105"
popup "System"
  item 118 "Update firmware - Go"
  separator
  item 101 "Exit"
MENU

winctl log >"$work/log.txt"
[ "$(head -n 2 "$work/log.txt")" = $'Orvane Q88 Firmware Utility\n<< Firmware Version: V.4.3.0 >>' ] ||
  fail "banner: $(cat "$work/log.txt")"

# The About box (command 120): its text; OK ends it.
winctl command 120
winctl wait-dialog About 30000 >"$work/about.txt" || fail "no About box"
grep -q 'text="Lumacord - Written for Zentrik to update phone module firmware and transmit data between BTUART and FFUART"' \
  "$work/about.txt" || fail "About box: $(cat "$work/about.txt")"
winctl press About 1
winctl wait-no-dialog About 30000 || fail "the About box stayed after OK"

# Keyboard: open the menu bar, down into "System", up to "Exit", Enter.
winctl menu-keys 0x28 0x26 0x0D
wait_exit "$fwutil" 60
[ "$status" = 0 ] || fail "exit status $status after Exit, expected 0"
winctl wait-gone 10000 || fail "the window outlived the process"
echo "PASS"
