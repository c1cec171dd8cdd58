#!/usr/bin/env bash
# One copy per user: a second start shows the running copy's window and ends without logging or
# touching settings; a copy that crashed does not block the next start. Without TEMP, the log lives
# in the private state folder.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup
e2e_start_desktop
unset TEMP
state="$HOME/.local/state/Vantorell/Quarnel"
log="$state/DEV2IVI.log"

e2e_start_quarnel
first=$(e2e_wait_window Quarnel)
e2e_until 10 test -s "$log" || fail "no log in the private state folder"
[ "$(stat -c %a "$state")" = 700 ] || fail "the state folder is not private: $(stat -c %a "$state")"
[ "$(stat -c %a "$log")" = 600 ] || fail "the log is readable by others: $(stat -c %a "$log")"
conf="$(settings_file)"
e2e_until 10 test -s "$conf" || fail "no settings written"
sleep 1
before=$(sha256sum "$conf")

xdotool windowminimize "$first"
e2e_until 10 sh -c "! xwininfo -id $first | grep -q IsViewable" || fail "the window did not minimise"

# The second start (the autostart entry and the menu both starting it, say).
timeout 20 "$QUARNEL" >"$E2E_ROOT/second.out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "the second start ended with $status: $(cat "$E2E_ROOT/second.out")"
e2e_until 10 sh -c "xwininfo -id $first | grep -q IsViewable" || fail "the running copy's window was not shown"
kill -0 "$QUARNEL_PID" 2>/dev/null || fail "the first copy ended"
[ "$(grep -c '^Started ' "$log")" -eq 1 ] || fail "the second start logged: $(cat "$log")"
[ "$(sha256sum "$conf")" = "$before" ] || fail "the second start touched the settings"
[ "$(pgrep -c -f "^$QUARNEL\$" || true)" -eq 1 ] || fail "more than one copy is running"

# A copy that crashed leaves its lock behind; the next start runs all the same.
kill -KILL "$QUARNEL_PID"
wait "$QUARNEL_PID" 2>/dev/null || true
e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
two_starts() { [ "$(grep -c '^Started ' "$log")" -eq 2 ]; }
e2e_until 10 two_starts || fail "no start after a crashed copy"
e2e_stop_quarnel
echo "single_instance: ok"
