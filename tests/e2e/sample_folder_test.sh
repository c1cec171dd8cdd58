#!/usr/bin/env bash
# "Load Sample/Example Folders" clicked in the real window adds the sample folder; the row is still
# there after a restart.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup

e2e_start_quarnel
main=$(e2e_wait_window Quarnel)
box=$(e2e_click_for_box "$main" 400 219) # PushButton6
e2e_keys "$box" n # No: do not open the folder
closed=no
for _ in $(seq 1 50); do
    if ! xdotool search --onlyvisible --name '^Quarnel$' | grep -qv "^${main}\$"; then
        closed=yes
        break
    fi
    sleep 0.1
done
[ "$closed" = yes ] || fail "the question did not close on No"
e2e_stop_quarnel

samples="$(cd "$(dirname "$QUARNEL")" && pwd)/Samples"
grep -qF "Listview1=\"$samples;\"" "$(settings_file)" || fail "sample row not saved: $(cat "$(settings_file)")"

e2e_start_quarnel
e2e_wait_window Quarnel >/dev/null
e2e_stop_quarnel
grep -qF "Listview1=\"$samples;\"" "$(settings_file)" || fail "sample row lost on restart: $(cat "$(settings_file)")"
echo "sample_folder: ok"
