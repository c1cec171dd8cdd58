#!/usr/bin/env bash
# With the window running, the command line hands its requests to it: the pass runs in that copy
# (one start, one process) and a folder added shows in its list.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup
log="$TEMP/DEV2IVI.log"
in="$E2E_ROOT/in"
mkdir -p "$in"
cp "$(dirname "$0")/../data/pdfs/pixel.pdf" "$in/p.pdf"

e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
e2e_until 10 test -s "$log" || fail "the window logged no start"

timeout 60 env -u DISPLAY "$QUARNEL" --add-folder "$in" >"$E2E_ROOT/add" 2>&1 || fail "--add-folder: $(cat "$E2E_ROOT/add")"
timeout 60 env -u DISPLAY "$QUARNEL" --folders >"$E2E_ROOT/folders" 2>&1 || fail "--folders: $(cat "$E2E_ROOT/folders")"
grep -qx "$in/" "$E2E_ROOT/folders" || fail "the window's list lacks the folder: $(cat "$E2E_ROOT/folders")"
grep -q "$in/" "$(settings_file)" || fail "the window did not store its list"

timeout 120 env -u DISPLAY "$QUARNEL" --set "output=beside the PDF" >/dev/null 2>&1 || fail "--set"
timeout 120 env -u DISPLAY "$QUARNEL" --convert-now >"$E2E_ROOT/pass" 2>&1 || fail "--convert-now: $(cat "$E2E_ROOT/pass")"
grep -q " : Converted $in/p.pdf\$" "$E2E_ROOT/pass" || fail "no converted line printed: $(cat "$E2E_ROOT/pass")"
ls "$in"/p*.jpg >/dev/null 2>&1 || fail "no image beside the PDF"
[ "$(tr -d '\r' <"$log" | grep -c '^Started ')" = 1 ] || fail "the pass started a copy of its own: $(cat "$log")"
[ "$(e2e_own_copies)" = 1 ] || fail "more than one copy is running"
# --toggle-automatic runs the window's button: its caption and the stored state flip once per call.
for want in on off; do
    timeout 60 env -u DISPLAY "$QUARNEL" --toggle-automatic >"$E2E_ROOT/toggle" 2>&1 || fail "--toggle-automatic"
    grep -qx "automatic=$want" "$E2E_ROOT/toggle" || fail "toggled: $(cat "$E2E_ROOT/toggle")"
    stored=$(grep '^StartStopState=' "$(settings_file)" | tr -d '"')
    [ "$stored" = "StartStopState=$([ "$want" = on ] && echo On || echo Off)" ] || fail "stored: $stored"
done
# --status: the window's state, schedule and last pass.
timeout 60 env -u DISPLAY "$QUARNEL" --status >"$E2E_ROOT/status" 2>&1 || fail "--status: $(cat "$E2E_ROOT/status")"
for want in running=yes state=idle automatic=off next-pass=none "last-pass=1 converted, 0 skipped, 0 failed in .*"; do
    grep -qx "$want" "$E2E_ROOT/status" || fail "--status of the window lacks $want: $(cat "$E2E_ROOT/status")"
done
e2e_stop_quarnel

# With the service running, the window says so in one message and ends.
"$QUARNEL" --service >"$E2E_ROOT/service.out" 2>&1 &
service=$!
E2E_PIDS+=("$service")
e2e_until 10 test -S "$HOME/.local/state/Vantorell/Quarnel/instance.socket" || fail "the service did not listen"
sleep 0.5
e2e_start_quarnel
box=$(e2e_wait_window Quarnel)
xdotool key --window "$box" Return 2>/dev/null || true
e2e_until 10 sh -c "! kill -0 $QUARNEL_PID 2>/dev/null" || { xdotool windowfocus "$box" key Return; sleep 1; }
kill -0 "$QUARNEL_PID" 2>/dev/null && fail "the window did not end after its message"
kill -0 "$service" || fail "the service ended"
kill -TERM "$service"
exit 0
