#!/usr/bin/env bash
# A new user's whole journey with the installed program, driven only as a person would: clicks, keys
# and the dialogs. By default it installs the build into a temporary prefix first; with
# "--installed PROGRAM" it uses a program already installed (the Debian package). With --wayland first
# it runs on a Wayland compositor, where buttons are pressed through the accessibility bus and the
# tray is a StatusNotifierItem host of the test's own; what only X11 has (Ctrl+Shift+T from the
# keyboard, minimising, the window manager's close) is done there the Wayland way (--toggle-automatic,
# starting in the tray, the session's end).
#   journey_test.sh [--wayland] BUILD/bin/quarnel | journey_test.sh [--wayland] --installed /usr/bin/quarnel
# QUARNEL_SCREENSHOTS=DIR keeps screenshots of the main and options windows.
source "$(dirname "$0")/lib.sh"
here="$(cd "$(dirname "$0")" && pwd)"
wayland=0
if [ "$1" = "--wayland" ]; then
    wayland=1
    shift
    e2e_setup_wayland
else
    e2e_setup
    e2e_start_desktop
fi
a11y() { QUARNEL_PID="$QUARNEL_PID" /usr/bin/python3 "$here/a11y.py" "$@"; }

if [ "$1" = "--installed" ]; then
    QUARNEL="$2"
else
    build="$(cd "$(dirname "$1")/.." && pwd)"
    cmake --install "$build" --prefix "$E2E_ROOT/prefix" >/dev/null || fail "cmake --install failed"
    desktop-file-validate "$E2E_ROOT/prefix/share/applications/quarnel.desktop" || fail "desktop entry not valid"
    MANWIDTH=200 man -l "$E2E_ROOT/prefix/share/man/man1/quarnel.1" 2>/dev/null | grep -q 'turn the pages of PDF files' \
        || fail "no manual page installed"
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate --no-net "$E2E_ROOT/prefix/share/metainfo/example.vantorell.Quarnel.metainfo.xml" \
            >/dev/null || fail "the AppStream metainfo does not validate"
    fi
    QUARNEL="$E2E_ROOT/prefix/bin/quarnel"
fi
program_dir="$(dirname "$(readlink -f "$QUARNEL")")"
desktop="$HOME/Desktop"
shots="${QUARNEL_SCREENSHOTS:-}"
shoot() { [ "$wayland" = 0 ] && [ -n "$shots" ] && mkdir -p "$shots" && import -window "$("$1")" "$shots/$2"; return 0; }

main_window() {
    for id in $(visible_windows Quarnel); do
        xwininfo -id "$id" | grep -q 'Width: 536' && xwininfo -id "$id" | grep -q 'Height: 634' && echo "$id"
    done | head -n 1
}
options_window() {
    for id in $(visible_windows Quarnel); do
        xwininfo -id "$id" | grep -q 'Height: 322' && echo "$id"
    done | head -n 1
}
have_main() { if [ "$wayland" = 1 ]; then a11y showing "Convert Now (Test)"; else [ -n "$(main_window)" ]; fi; }
no_main() { ! have_main; }
have_options() { if [ "$wayland" = 1 ]; then a11y showing "< Back"; else [ -n "$(options_window)" ]; fi; }
# A message box: a window of ours that is not the main window, the options window or the tray icon.
box_window() {
    local main options
    main=$(main_window)
    options=$(options_window)
    for id in $(visible_windows Quarnel); do
        [ "$id" = "$main" ] || [ "$id" = "$options" ] && continue
        xwininfo -id "$id" | grep -qE 'Width: 22$' && continue
        echo "$id"
    done | head -n 1
}
no_box() { if [ "$wayland" = 1 ]; then ! A11Y_WAIT=0 a11y box >/dev/null 2>&1; else [ -z "$(box_window)" ]; fi; }
error_box() {
    if [ "$wayland" = 1 ]; then a11y titled "Application Error"; else [ -n "$(visible_windows 'Application Error')" ]; fi
}
# Presses a button of the main or the options window: on X11 a click at its point (client coordinates
# at 96 dpi, as the layout gives them), on Wayland by its name.
click_main() { if [ "$wayland" = 1 ]; then a11y press "$3"; else xdotool mousemove --window "$(main_window)" "$1" "$2" click 1; fi; }
click_options() { if [ "$wayland" = 1 ]; then a11y press "$3"; else xdotool mousemove --window "$(options_window)" "$1" "$2" click 1; fi; }
# Waits for a message box that stays (not a window that only flashes by), checks that its text holds
# the given words, then answers it: on X11 with a key (Ctrl+C copies a message box's title, text and
# buttons), on Wayland with the button named.
answer_box() {
    if [ "$wayland" = 1 ]; then
        e2e_until 20 box_holds "$3" || fail "no message box says \"$3\": $(a11y box 2>&1)"
        a11y answer "$2" || fail "could not answer the message box: $3"
        e2e_until 10 no_box || fail "the message box stayed: $3"
        return 0
    fi
    local box="" seen=""
    for _ in $(seq 1 100); do
        box=$(box_window)
        [ -n "$box" ] && [ "$box" = "$seen" ] && break
        seen="$box"
        box=""
        sleep 0.3
    done
    [ -n "$box" ] || fail "no message box for: $3"
    xdotool windowactivate --sync "$box" 2>/dev/null || xdotool windowfocus "$box" 2>/dev/null || true
    sleep 0.2
    printf '' | xclip -selection clipboard
    xdotool key ctrl+c
    e2e_until 5 box_says "$3" || fail "the message box does not say \"$3\": $(xclip -o -selection clipboard 2>&1)"
    xdotool key "$1"
    e2e_until 10 no_box || fail "the message box stayed: $3"
}

box_holds() {
    local text
    text=$(A11Y_WAIT=0 a11y box 2>/dev/null) && grep -qF -- "$1" <<<"$text"
}
box_says() { xclip -o -selection clipboard 2>/dev/null | grep -qF -- "$1"; }

# The desktop's opener, recorded instead of run: what the program asks it to open.
mkdir -p "$E2E_ROOT/bin"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s/opened"\n' "$E2E_ROOT" > "$E2E_ROOT/bin/xdg-open"
chmod +x "$E2E_ROOT/bin/xdg-open"
export PATH="$E2E_ROOT/bin:$PATH"

# First start, no settings: the defaults show and are stored as start-up writes them back.
e2e_start_quarnel
e2e_until 20 have_main || fail "the main window did not show"
conf="$(settings_file)"
e2e_until 10 grep -q '^Text33="30"' "$conf" || fail "first start did not store the defaults: $(cat "$conf")"
grep -qF "Output%20Folder=\"$desktop/\"" "$conf" || fail "the output folder is not the desktop: $(cat "$conf")"
shoot main_window main-window.png

# No key press reaches a program on Wayland: GNOME's own shortcut is offered, once, and taken.
if [ "$wayland" = 1 ]; then
    answer_box - Yes "Add a GNOME keyboard shortcut Ctrl+Shift+T"
    e2e_until 10 grep -q -- "--toggle-automatic" "$XDG_CONFIG_HOME/glib-2.0/settings/keyfile" \
        || fail "no GNOME shortcut was added: $(cat "$XDG_CONFIG_HOME/glib-2.0/settings/keyfile" 2>&1)"
fi

# "Load Sample/Example Folders", and No to opening the folder.
click_main 400 219 "Load Sample/Example Folders"
answer_box n No "Would you like this software to open the folder where these sample files are stored"

# "Convert Now (Test)": the samples become JPEGs on the desktop, then "Done.".
click_main 268 55 "Convert Now (Test)"
answer_box Return OK "Done."
# Each page at 300 dpi in its own size: Letter, three A4 pages, then Letter, A5 landscape and a card.
for page in "One page letter.jpg:2550x3300" "Quarterly report-001.jpg:2479x3508" \
    "Quarterly report-002.jpg:2479x3508" "Quarterly report-003.jpg:2479x3508" "Mixed sizes-001.jpg:2550x3300" \
    "Mixed sizes-002.jpg:2479x1750" "Mixed sizes-003.jpg:1050x600"; do
    name="${page%:*}"
    [ -s "$desktop/$name" ] || fail "no $name on the desktop: $(ls "$desktop")"
    file "$desktop/$name" | grep -q ", ${page##*:}," || fail "$name is not ${page##*:}: $(file "$desktop/$name")"
done
[ "$(ls "$desktop" | wc -l)" -eq 7 ] || fail "other files on the desktop: $(ls "$desktop")"
grep -q ' : Converted .*Quarterly report.pdf' "$TEMP/DEV2IVI.log" || fail "no converted line"
error_box && fail "an error report showed"

# "View Log" opens the log with the desktop's opener and reports nothing.
click_main 128 579 "View Log"
e2e_until 10 grep -qF "$TEMP/DEV2IVI.log" "$E2E_ROOT/opened" || fail "View Log did not open the log: $(cat "$E2E_ROOT/opened" 2>&1)"
error_box && fail "View Log showed an error report"

# The options window round trip: GflAx chosen, back, options again, Ghostscript again.
click_main 132 545 "Conversion Options"
e2e_until 10 have_options || fail "the options window did not show"
e2e_until 10 no_main || fail "the main window did not hide"
shoot options_window options-window.png
click_options 74 136 "GflAx Method"
e2e_until 5 grep -q '^Option="4"' "$conf" || fail "the method was not stored"
click_options 268 21 "< Back"
e2e_until 10 have_main || fail "< Back did not bring the main window back"
click_main 132 545 "Conversion Options"
e2e_until 10 have_options || fail "the options window did not show again"
click_options 74 66 "Ghostscript Method"
e2e_until 5 grep -q '^Option="1"' "$conf" || fail "Ghostscript was not stored"
click_options 268 21 "< Back"
e2e_until 10 have_main || fail "no main window after the round trip"

# Automatic conversion every 2 seconds; a new PDF in a watched folder is converted without a click.
if [ "$wayland" = 1 ]; then
    a11y type "Convert Every" 3 2 # Text33, the seconds
else
    click_main 225 267 # Text33
    xdotool key ctrl+a
    xdotool type --delay 50 2
fi
e2e_until 5 grep -q '^Text33="2"' "$conf" || fail "the interval was not stored"
click_main 268 21 "Turn On Automatic Conversion"
e2e_until 5 grep -q '^StartStopState="On"' "$conf" || fail "automatic conversion did not turn on"
cp "$here/../data/pdfs/pixel.pdf" "$program_dir/Samples/New arrival.pdf"
e2e_until 30 test -s "$desktop/New arrival.jpg" || fail "the new PDF was not converted automatically"
rm -f "$program_dir/Samples/New arrival.pdf"

if [ "$wayland" = 1 ]; then
    # Start at login, in the tray; what the GNOME shortcut runs turns automatic conversion off; the
    # session's end closes the window.
    click_main 0 0 "Load this software on Windows startup"
    click_main 0 0 "Start in system tray"
    e2e_until 5 grep -q '^Minimized="On"' "$conf" || fail "start in system tray was not stored"
    [ -s "$XDG_CONFIG_HOME/autostart/quarnel.desktop" ] || fail "no start-at-login entry"
    "$QUARNEL" --toggle-automatic >/dev/null || fail "--toggle-automatic failed"
    e2e_until 10 grep -q '^StartStopState="Off"' "$conf" || fail "--toggle-automatic did not turn automatic conversion off"
    kill -TERM "$QUARNEL_PID"
    for _ in $(seq 1 100); do kill -0 "$QUARNEL_PID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$QUARNEL_PID" 2>/dev/null && fail "the session's end did not end the program"
    grep -qF "Listview1=\"$program_dir/Samples;\"" "$conf" || fail "the folder list was not saved: $(cat "$conf")"
else
    # Minimise to the tray, and back with a click on the icon.
    main=$(main_window)
    xdotool windowminimize "$main"
    e2e_until 10 no_main || fail "minimising did not hide the window"
    panel=$(xdotool search --name '^panel$' | head -n 1)
    icon=$(xwininfo -tree -id "$panel" | grep '"Quarnel"' | awk '{print $1}' | head -n 1)
    [ -n "$icon" ] || fail "no tray icon"
    sleep 6
    xdotool mousemove --window "$icon" 5 5 click 1
    e2e_until 10 have_main || fail "the tray icon did not bring the window back"

    # Ctrl+Shift+T turns automatic conversion off from anywhere.
    xdotool key ctrl+shift+t
    e2e_until 10 grep -q '^StartStopState="Off"' "$conf" || fail "Ctrl+Shift+T did not turn automatic conversion off"

    # Close with the window's close box (the window manager's close), then start again: all restored.
    xdotool windowactivate --sync "$(main_window)" 2>/dev/null || true
    xdotool key alt+F4
    for _ in $(seq 1 100); do kill -0 "$QUARNEL_PID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$QUARNEL_PID" 2>/dev/null && fail "closing the window did not end the program"
    grep -qF "Listview1=\"$program_dir/Samples;\"" "$conf" || fail "the folder list was not saved: $(cat "$conf")"
fi

icons_before=$( [ "$wayland" = 1 ] && wc -l <"$TRAY_ITEMS" || echo 0)
e2e_start_quarnel
if [ "$wayland" = 1 ]; then
    # In the tray (StatusNotifierItem): hidden until its icon is clicked.
    more_icons() { [ "$(wc -l <"$TRAY_ITEMS")" -gt "$icons_before" ]; }
    e2e_until 20 more_icons || fail "no tray icon on the second start: $(cat "$E2E_ROOT/tray.out")"
    sleep 1
    no_main || fail "the window showed though it starts in the tray"
    gdbus call --session --dest "$(tail -n 1 "$TRAY_ITEMS")" --object-path /StatusNotifierItem \
        --method org.kde.StatusNotifierItem.Activate 0 0 >/dev/null || fail "the tray icon could not be clicked"
fi
e2e_until 20 have_main || fail "the main window did not show on the second start"
sleep 1
grep -qF "Listview1=\"$program_dir/Samples;\"" "$conf" || fail "the folder list changed"
grep -q '^Text33="2"' "$conf" || fail "the interval changed"
grep -q '^StartStopState="Off"' "$conf" || fail "the automatic state changed"
[ "$(grep -c '^Started ' "$TEMP/DEV2IVI.log")" -eq 2 ] || fail "expected two start lines"
error_box && fail "an error report showed on the second start"
[ "$wayland" = 1 ] && ! no_box && fail "a message box showed on the second start: $(a11y box)"
e2e_stop_quarnel
echo "journey: ok"
