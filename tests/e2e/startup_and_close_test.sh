#!/usr/bin/env bash
# The real program starts with a window titled "Quarnel", writes one start line to the log, and on
# SIGTERM runs its close handling, which saves the folder list.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup

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
echo "startup_and_close: ok"
