#!/usr/bin/env bash
# The window as a native Wayland client, on a real compositor without a display (weston's headless
# back end): it starts, runs a pass handed to it, takes --toggle-automatic, is raised by a second start
# that hands over its activation token, and ends cleanly on SIGTERM.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup_wayland
log="$TEMP/DEV2IVI.log"
in="$E2E_ROOT/in"
mkdir -p "$in"
cp "$(dirname "$0")/../data/pdfs/CAD.pdf" "$in/plan.pdf"
touch -d '-1 hour' "$in/plan.pdf"

e2e_start_quarnel
e2e_until 20 test -s "$log" || fail "the window logged no start on Wayland"
q() { timeout 120 env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$QUARNEL" "$@"; }
q --add-folder "$in" >/dev/null 2>&1 || fail "--add-folder"
q --set "output=beside the PDF" >/dev/null 2>&1 || fail "--set"
q --convert-now >"$E2E_ROOT/pass" 2>&1 || fail "--convert-now in the Wayland window: $(cat "$E2E_ROOT/pass")"
grep -q " : Converted $in/plan.pdf\$" "$E2E_ROOT/pass" || fail "no converted line: $(cat "$E2E_ROOT/pass")"
[ "$(find "$in" -name 'plan*.jpg' | wc -l)" = 7 ] || fail "not 7 pages beside the PDF: $(ls "$in")"
q --toggle-automatic >"$E2E_ROOT/toggle" 2>&1 || fail "--toggle-automatic"
grep -qx "automatic=on" "$E2E_ROOT/toggle" || fail "toggled: $(cat "$E2E_ROOT/toggle")"

# A second start hands over its activation token and ends; the first goes on.
XDG_ACTIVATION_TOKEN=launcher-token timeout 30 "$QUARNEL" >"$E2E_ROOT/second" 2>&1 \
    || fail "the second start ended with $?: $(cat "$E2E_ROOT/second")"
kill -0 "$QUARNEL_PID" || fail "the window ended when a second start asked it to show"
[ "$(e2e_own_copies)" = 1 ] || fail "more than one copy is running"

kill -TERM "$QUARNEL_PID"
e2e_until 20 sh -c "! kill -0 $QUARNEL_PID 2>/dev/null" || fail "the window did not end on SIGTERM"
wait "$QUARNEL_PID" && status=0 || status=$?
[ "$status" = 0 ] || fail "the window ended with $status"
grep -qi "could not .*plugin\|failed to create wl_display" "$E2E_ROOT/quarnel.out" \
    && fail "Qt did not run on Wayland: $(cat "$E2E_ROOT/quarnel.out")"
exit 0
