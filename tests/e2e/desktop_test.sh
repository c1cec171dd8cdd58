#!/usr/bin/env bash
# The desktop integration of the real program: the tray icon docks in a tray host, minimising hides
# the window with one balloon, a click on the icon brings it back, Ctrl+Shift+T toggles automatic
# conversion while another window has the focus (which still gets the keys), and a short interval
# runs a silent pass on its own.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup
e2e_start_desktop

in="$E2E_ROOT/in"
mkdir -p "$in" "$(dirname "$(settings_file)")"
cp "$(dirname "$0")/../data/pdfs/pixel.pdf" "$in/scan.pdf"
touch -d '1 hour ago' "$in/scan.pdf"
printf '[Quarnel]\nListview1=%s;\nOption5=True\nOption6=False\nText11=0\nText22=0\nText33=2\nStartStopState=On\n' \
    "$in" >"$(settings_file)"

e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
main=$(for id in $(visible_windows Quarnel); do xwininfo -id "$id" | grep -q 'Width: 536' && echo "$id"; done | head -n 1)
[ -n "$main" ] || fail "no main window"


# The icon docks in the tray host's panel.
panel=$(xdotool search --name '^panel$' | head -n 1)
e2e_until 10 bash -c "xwininfo -tree -id $panel | grep -q '\"Quarnel\"'" || fail "the tray icon did not dock"

# With "On" and two seconds, a silent pass runs by itself and logs.
e2e_until 20 grep -q " : Converted $in/scan.pdf" "$TEMP/DEV2IVI.log" || fail "no automatic pass: $(cat "$TEMP/DEV2IVI.log")"
[ -f "$in/scan.jpg" ] || fail "the automatic pass made no image"

# Ctrl+Shift+T with another window focused toggles automatic conversion; that window gets the keys.
xev -name keytaker >"$E2E_ROOT/xev.txt" 2>&1 &
E2E_PIDS+=($!)
e2e_until 10 bash -c "xdotool search --name '^keytaker\$' >/dev/null" || fail "no second window"
taker=$(xdotool search --name '^keytaker$' | head -n 1)
xdotool windowactivate --sync "$taker" 2>/dev/null || xdotool windowfocus "$taker"
sleep 0.3
xdotool key ctrl+shift+t
e2e_until 10 grep -q 'StartStopState="Off"' "$(settings_file)" || fail "the hot key did not turn automatic conversion off"
grep -q 'keysym 0x54, T\|keysym 0x74, t' "$E2E_ROOT/xev.txt" || fail "the focused window did not get the T"
xdotool key ctrl+shift+t
e2e_until 10 grep -q 'StartStopState="On"' "$(settings_file)" || fail "the hot key did not turn it on again"

icon=$(printf '%d' "$(xwininfo -tree -id "$panel" | grep '"Quarnel"' | awk '{print $1}' | head -n 1)")
main_shown() { visible_windows Quarnel | grep -qx "$main"; }
main_hidden() { ! main_shown; }
# A balloon: a window of ours that is neither the main window nor the icon.
balloon_shown() { visible_windows Quarnel | grep -vx "$main" | grep -qvx "$icon"; }
balloon_gone() { ! balloon_shown; }

# Minimising hides the window and shows a balloon, only the first time.
xdotool windowminimize "$main"
e2e_until 10 main_hidden || fail "minimising did not hide the window"
e2e_until 5 balloon_shown || fail "no balloon showed"
e2e_until 10 balloon_gone || fail "the balloon stayed"

# A click on the icon brings the window back.
xdotool mousemove --window "$icon" 5 5 click 1
e2e_until 10 main_shown || fail "a click on the icon did not bring the window back"

# The second minimise hides without a balloon.
xdotool windowminimize "$main"
e2e_until 10 main_hidden || fail "the second minimise did not hide"
sleep 1
balloon_gone || fail "a balloon showed at the second minimise"

e2e_stop_quarnel
echo "desktop: ok"
