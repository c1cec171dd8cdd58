#!/usr/bin/env bash
# Links planted by another account in a shared temporary folder are never followed: the log link and
# the working-folder link each cost an error report, and the files they point at stay as they were.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup
e2e_start_desktop
export TEMP="$E2E_ROOT/shared"
mkdir -p "$TEMP" "$HOME/Pictures" "$E2E_ROOT/in"
chmod 1777 "$TEMP"
echo "my notes" >"$HOME/notes.txt"
echo "my picture" >"$HOME/Pictures/keep.jpg"
cp "$(dirname "$0")/../data/pdfs/pixel.pdf" "$E2E_ROOT/in/report.pdf"
touch -d '1 hour ago' "$E2E_ROOT/in/report.pdf"
mkdir -p "$XDG_CONFIG_HOME/Vantorell"
# The Black/White method, results beside the PDF.
printf '[Quarnel]\nListview1="%s/;"\nOption="2"\nOption5="True"\nOption6="False"\n' "$E2E_ROOT/in" \
    >"$(settings_file)"

error_box() { visible_windows 'Application Error' | head -n 1; }
have_error_box() { [ -n "$(error_box)" ]; }
no_error_box() { [ -z "$(error_box)" ]; }
answer_error_box() {
    local box=""
    e2e_until 20 have_error_box || fail "no error report: $1"
    box=$(error_box)
    # The title as the window manager shows it, with nothing appended.
    xprop -id "$box" _NET_WM_NAME | grep -qx '_NET_WM_NAME(UTF8_STRING) = "Application Error"' ||
        fail "the error report's title: $(xprop -id "$box" _NET_WM_NAME)"
    xdotool windowactivate --sync "$box" 2>/dev/null || xdotool windowfocus "$box" 2>/dev/null || true
    sleep 0.3
    xdotool key Return
    e2e_until 10 no_error_box || fail "the error report stayed: $1"
}

# The log planted as a link to one of the user's files: reported at start, never written.
ln -s "$HOME/notes.txt" "$TEMP/DEV2IVI.log"
e2e_start_quarnel
answer_error_box "the planted log"
e2e_wait_window Quarnel >/dev/null
[ "$(cat "$HOME/notes.txt")" = "my notes" ] || fail "the log link was followed: $(cat "$HOME/notes.txt")"
e2e_stop_quarnel
rm "$TEMP/DEV2IVI.log"

# The black/white working folder planted as a link to the user's pictures.
ln -s "$HOME/Pictures" "$TEMP/bw"
e2e_start_quarnel
main=$(e2e_wait_window Quarnel)
sleep 1
e2e_click "$main" 268 55 # Convert Now (Test)
answer_error_box "the planted working folder"
box=$(e2e_wait_other_window Quarnel "$main" 50) || fail "no failure message for the PDF"
xdotool windowactivate --sync "$box" 2>/dev/null || true
sleep 0.3
xdotool key Return
[ "$(ls -A "$HOME/Pictures")" = "keep.jpg" ] || fail "the pictures folder was written to: $(ls -A "$HOME/Pictures")"
[ "$(cat "$HOME/Pictures/keep.jpg")" = "my picture" ] || fail "a picture was changed"
e2e_until 10 grep -q ' : Could not create JPG on .*report.pdf' "$TEMP/DEV2IVI.log" || fail "no failure logged"
ls "$E2E_ROOT/in" | grep -q '\.jpg$' && fail "images were placed: $(ls "$E2E_ROOT/in")"
e2e_stop_quarnel
echo "private_folder: ok"
