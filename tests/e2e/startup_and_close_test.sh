#!/usr/bin/env bash
# The real program starts with a window titled "Quarnel", writes one start line to the log, and on
# SIGTERM runs its close handling, which saves the folder list.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup

# --help and --version answer without a window, a log line or a display; a wrong option is an error.
env -u DISPLAY "$QUARNEL" --help | grep -q '^Usage: quarnel \[options\]' || fail "--help did not print the usage"
env -u DISPLAY "$QUARNEL" --version | grep -qE '^Quarnel [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version did not print it"
status=0
env -u DISPLAY "$QUARNEL" --no-such-option 2>"$E2E_ROOT/err" || status=$?
[ "$status" -eq 2 ] || fail "an unknown option ended with status $status"
grep -q "Unknown option 'no-such-option'" "$E2E_ROOT/err" || fail "no message for an unknown option: $(cat "$E2E_ROOT/err")"
[ ! -e "$TEMP/DEV2IVI.log" ] || fail "the command-line answers wrote to the log"

e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
e2e_stop_quarnel

log="$TEMP/DEV2IVI.log"
[ -f "$log" ] || fail "no log at $log"
started=$(grep -c '^Started ' "$log")
[ "$started" -eq 1 ] || fail "expected one start line, found $started"
grep -q '^Listview1=' "$(settings_file)" || fail "the folder list was not saved: $(cat "$(settings_file)")"

# A stored list survives a second run untouched.
printf '[Quarnel]\nListview1=/data/in/;/data/other dir/;\n' >"$(settings_file)"
e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
e2e_stop_quarnel
grep -qF 'Listview1="/data/in/;/data/other dir/;"' "$(settings_file)" || fail "list changed: $(cat "$(settings_file)")"
[ "$(grep -c '^Started ' "$log")" -eq 2 ] || fail "second start line missing"
# A damaged settings file: the user is told once, what could be read is kept, the original set aside.
printf '[Quarnel]\nListview1=/data/in/;\nText33="4\0005"\n\377\376garbage\n' >"$(settings_file)"
cp "$(settings_file)" "$E2E_ROOT/original.conf"
# A window titled Quarnel that is not the main window (536 pixels wide).
message_box() {
    local id
    for id in $(xdotool search --onlyvisible --name '^Quarnel$' 2>/dev/null); do
        xwininfo -id "$id" | grep -q 'Width: 536$' || { echo "$id"; return 0; }
    done
    return 1
}
no_message_box() { ! message_box >/dev/null; }
e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
e2e_until 10 message_box >/dev/null || fail "no message box about the damaged settings file"
box=$(message_box)
cmp -s "$(settings_file).damaged" "$E2E_ROOT/original.conf" || fail "the damaged file was not kept as it was"
grep -qF 'Listview1="/data/in/;"' "$(settings_file)" || fail "the readable line was lost: $(cat "$(settings_file)")"
xdotool windowfocus --sync "$box" 2>/dev/null || true
xdotool key Return
e2e_until 10 no_message_box || fail "the message box stayed"
e2e_stop_quarnel
e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
sleep 2
message_box >/dev/null && fail "the damaged settings file was told of twice"
e2e_stop_quarnel
echo "startup_and_close: ok"
