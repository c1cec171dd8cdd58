#!/usr/bin/env bash
# Quarnel without a desktop: one pass from the command line with its exit statuses, the settings
# commands, the service, and requests handed to the running copy; no display at all.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup_headless
pdfs="$(dirname "$0")/../data/pdfs"
log="$TEMP/DEV2IVI.log"
conf="$(settings_file)"
q() { timeout 120 "$QUARNEL" "$@"; }
# The log's lines without their CR.
logtext() { tr -d '\r' <"$log"; }
status_of() { local s=0; "$@" >"$E2E_ROOT/out" 2>"$E2E_ROOT/err" || s=$?; echo "$s"; }
expect_status() {
    local want="$1" got
    shift
    got=$(status_of q "$@")
    [ "$got" = "$want" ] || fail "quarnel $* ended with $got, not $want: $(cat "$E2E_ROOT/err")"
}

# Nothing to do: no folders is a pass that cannot run.
expect_status 3 --convert-now
grep -q "No files or folders added." "$E2E_ROOT/err" || fail "no reason given: $(cat "$E2E_ROOT/err")"
logtext | grep -q " : No files or folders added.$" || fail "the refusal was not logged"

# Settings by name, checked before anything is written.
in="$E2E_ROOT/in"
mkdir -p "$in/sub"
cp "$pdfs/euro.pdf" "$in/a.pdf"
cp "$pdfs/pixel.pdf" "$in/sub/b.pdf"
expect_status 0 --add-folder "$in"
expect_status 0 --folders
[ "$(cat "$E2E_ROOT/out")" = "$(printf '%s\n' "$in/" "$in/sub/")" ] || fail "folders: $(cat "$E2E_ROOT/out")"
expect_status 0 --set method=acrobat
expect_status 0 --set "output=beside the PDF"
expect_status 0 --set interval=0:00:02
before=$(sha256sum "$conf")
for bad in quality=101 method=word resolution=100 interval=-5 "output=$E2E_ROOT/none" colour=red noequals; do
    expect_status 2 --set "$bad"
    [ -s "$E2E_ROOT/err" ] || fail "--set $bad gave no reason"
done
expect_status 2 --convert-now --service
[ "$(sha256sum "$conf")" = "$before" ] || fail "a refused value changed the settings file"
expect_status 0 --show-settings
for line in method=acrobat "output=beside the PDF" interval=2 quality=85; do
    grep -qx "$line" "$E2E_ROOT/out" || fail "--show-settings lacks $line: $(cat "$E2E_ROOT/out")"
done
grep -q '^Text33="\?2"\?$' "$conf" || fail "the interval was not stored as the window stores it"

# --toggle-automatic without a running copy: the stored state flips, once per call, and it says so.
for want in on off; do
    expect_status 0 --toggle-automatic
    grep -qx "automatic=$want" "$E2E_ROOT/out" || fail "--toggle-automatic printed: $(cat "$E2E_ROOT/out")"
    grep -q "no copy of Quarnel is running" "$E2E_ROOT/err" || fail "it did not say no copy runs"
    expect_status 0 --show-settings
    grep -qx "automatic=$want" "$E2E_ROOT/out" || fail "automatic is not $want: $(cat "$E2E_ROOT/out")"
done

# One pass: every line it logs on standard output, a summary, the images beside the PDFs.
expect_status 0 --convert-now
grep -q " : Converted $in/a.pdf\$" "$E2E_ROOT/out" || fail "no converted line printed: $(cat "$E2E_ROOT/out")"
grep -q "^2 converted, 0 skipped, 0 failed in " "$E2E_ROOT/out" || fail "summary: $(tail -1 "$E2E_ROOT/out")"
[ "$(logtext | grep -c ' : Converted ')" = 2 ] || fail "the log has: $(cat "$log")"
[ -n "$(ls "$in"/a*.jpg)" ] && [ -n "$(ls "$in"/sub/b*.jpg)" ] || fail "no images beside the PDFs"
images=$(find "$in" -name '*.jpg' | wc -l)
# A display named but not there: no window system is touched. A converter a killed run left working
# in a working folder is ended at the start.
mkdir -p "$TEMP/bw/current"
(cd "$TEMP/bw/current" && exec sleep 300) &
leftover=$!
DISPLAY=:987 WAYLAND_DISPLAY=wayland-87 expect_status 0 --convert-now
[ "$(awk '{print $3}' "/proc/$leftover/stat" 2>/dev/null || echo gone)" != S ] \
    || fail "a converter left working in bw/ outlived the start"
wait "$leftover" 2>/dev/null || true
grep -q "^0 converted, 2 skipped, 0 failed" "$E2E_ROOT/out" || fail "second pass: $(cat "$E2E_ROOT/out")"
[ "$(find "$in" -name '*.jpg' | wc -l)" = "$images" ] || fail "the second pass placed images again"

# What a Mac, a NAS and a scanner leave: AppleDouble twins and a recycle bin are never examined; a
# dated subfolder made after the folder was added is converted; skipped PDFs logged only if asked.
printf '\0\5\26\7 Mac OS X' >"$in/._a.pdf"
mkdir -p "$in/#recycle" "$in/2026/12"
cp "$pdfs/pixel.pdf" "$in/#recycle/deleted.pdf"
cp "$pdfs/pixel.pdf" "$in/2026/12/scan1.pdf"
touch -d '-1 hour' "$in/2026/12/scan1.pdf"
expect_status 0 --set log-skipped=no
expect_status 0 --convert-now
grep -q "^1 converted, 2 skipped, 0 failed" "$E2E_ROOT/out" || fail "the scanner's pass: $(cat "$E2E_ROOT/out")"
grep -q " : Converted $in/2026/12/scan1.pdf\$" "$E2E_ROOT/out" || fail "scan1.pdf not converted"
grep -q "No new files\|recycle\|\._a" "$E2E_ROOT/out" && fail "lines that were not asked for: $(cat "$E2E_ROOT/out")"
expect_status 0 --folders
grep -qx "$in/2026/12/" "$E2E_ROOT/out" || fail "the new subfolder is not listed: $(cat "$E2E_ROOT/out")"
expect_status 0 --set log-skipped=yes
rm -r "$in/._a.pdf" "$in/#recycle" "$in/2026"

# A PDF that fails: status 1. A missing output folder: status 3.
head -c 3000 "$pdfs/euro.pdf" >"$in/broken.pdf"
expect_status 1 --convert-now
grep -q " : Could not create JPG on $in/broken.pdf\$" "$E2E_ROOT/out" || fail "no failed line: $(cat "$E2E_ROOT/out")"
# What failed, from the log alone; the last pass as the log shows it while no copy runs.
expect_status 1 --failures
[ "$(grep -c . "$E2E_ROOT/out")" = 1 ] && grep -q " : Could not create JPG on $in/broken.pdf\$" "$E2E_ROOT/out" \
    || fail "--failures: $(cat "$E2E_ROOT/out")"
expect_status 3 --status
for want in running=no "last-pass=0 converted, 2 skipped, 1 failed (as the log shows it)" \
    "failed=.* : Could not create JPG on $in/broken.pdf"; do
    grep -qx "$want" "$E2E_ROOT/out" || fail "--status lacks $want: $(cat "$E2E_ROOT/out")"
done
rm "$in/broken.pdf"
mkdir "$E2E_ROOT/gone"
expect_status 0 --set "output=$E2E_ROOT/gone"
rmdir "$E2E_ROOT/gone"
expect_status 3 --convert-now
expect_status 0 --set output=beside

# A folder in the list that vanished holds no PDF; the others are examined as always.
mkdir "$E2E_ROOT/vanishing"
expect_status 0 --add-folder "$E2E_ROOT/vanishing"
rmdir "$E2E_ROOT/vanishing"
expect_status 0 --convert-now
grep -q "^0 converted, 2 skipped, 0 failed" "$E2E_ROOT/out" || fail "with a vanished folder: $(cat "$E2E_ROOT/out")"
expect_status 0 --remove-folder "$E2E_ROOT/vanishing"
expect_status 1 --remove-folder "$E2E_ROOT/vanishing"

# A log that cannot be written: the pass does not run.
mv "$log" "$log.kept"
mkdir "$log"
expect_status 3 --convert-now
grep -q "cannot be written" "$E2E_ROOT/err" || fail "no reason for the unwritable log: $(cat "$E2E_ROOT/err")"
rmdir "$log"
mv "$log.kept" "$log"

# A damaged settings file: the damaged line alone is lost, said once, and the pass runs.
printf 'nonsense without a key\n' >>"$conf"
expect_status 0 --convert-now
grep -q "could not be read" "$E2E_ROOT/err" || fail "the damage was not reported: $(cat "$E2E_ROOT/err")"
[ -s "$conf.damaged" ] || fail "the damaged file was not kept"

# Two at once: the second hands its pass to the first and both end well.
cp "$pdfs/CAD.pdf" "$in/c.pdf"
q --convert-now >"$E2E_ROOT/one" 2>&1 &
one=$!
q --convert-now >"$E2E_ROOT/two" 2>&1 &
two=$!
wait "$one" || fail "the first of two ended with $?: $(cat "$E2E_ROOT/one")"
wait "$two" || fail "the second of two ended with $?: $(cat "$E2E_ROOT/two")"
[ "$(logtext | grep -c " : Converted $in/c.pdf\$")" = 1 ] || fail "c.pdf was not converted exactly once"

# The service: passes at the stored interval; a --convert-now and a --set go to it; SIGTERM ends it.
starts() { logtext | grep -c '^Started ' || true; }
passes() { logtext | grep -c " : No new files or changes to convert $in/a.pdf\$" || true; }
at_least() { [ "$("$1")" -ge "$2" ]; }
before_service=$(starts)
# systemd's part: a notify socket of the test's own, and a watchdog fed every half second.
e2e_notify_socket "$E2E_ROOT/notify" "$E2E_ROOT/notified"
cp "$pdfs/asy-latex.pdf" "$in/long.pdf"
touch -d '-1 hour' "$in/long.pdf"
NOTIFY_SOCKET="$E2E_ROOT/notify" WATCHDOG_USEC=1000000 "$QUARNEL" --service >"$E2E_ROOT/service.out" 2>&1 &
service=$!
E2E_PIDS+=("$service")
e2e_until 20 at_least starts $((before_service + 1)) || fail "the service logged no start"
starts=$(starts)
first=$(passes)
e2e_until 20 at_least passes $((first + 2)) || fail "the service ran no passes: $(cat "$E2E_ROOT/service.out")"
expect_status 0 --convert-now
grep -q "skipped, 0 failed" "$E2E_ROOT/out" || fail "--convert-now through the service: $(cat "$E2E_ROOT/out")"
[ "$(logtext | grep -c '^Started ')" = "$starts" ] || fail "--convert-now started a copy of its own"
expect_status 0 --set quality=70
expect_status 0 --status
for want in running=yes "state=\(idle\|converting\)" automatic=on interval=2 "next-pass=[0-9T:+Z-]*" \
    "last-pass=0 converted, [0-9]* skipped, 0 failed in .*"; do
    grep -qx "$want" "$E2E_ROOT/out" || fail "--status of the service lacks $want: $(cat "$E2E_ROOT/out")"
done
grep -q '^Slider2="\?70"\?$' "$conf" || fail "--set through the service was not stored"
# --toggle-automatic: the service's passes stop and start again, the state stored as the button stores it.
expect_status 0 --toggle-automatic
grep -qx "automatic=off" "$E2E_ROOT/out" || fail "toggled off: $(cat "$E2E_ROOT/out")"
grep -q '^StartStopState="\?Off"\?$' "$conf" || fail "the service did not store Off"
sleep 1
paused=$(passes)
sleep 4
[ "$(passes)" -le $((paused + 1)) ] || fail "the service went on with its passes after it was turned off"
expect_status 0 --toggle-automatic
grep -qx "automatic=on" "$E2E_ROOT/out" || fail "toggled on: $(cat "$E2E_ROOT/out")"
grep -q '^StartStopState="\?On"\?$' "$conf" || fail "the service did not store On"
e2e_until 20 at_least passes $((paused + 2)) || fail "the service ran no passes after it was turned on again"
expect_status 3 --service
# A copy that does not answer: the command says so within its limit and never starts a second copy.
cp "$E2E_ROOT/notified" "$E2E_ROOT/notified-before-stop"
kill -STOP "$service"
started=$(date +%s)
expect_status 3 --convert-now
kill -CONT "$service"
[ $(($(date +%s) - started)) -le 15 ] || fail "waited too long for a copy that did not answer"
grep -q "did not answer within 10 seconds" "$E2E_ROOT/err" || fail "no reason: $(cat "$E2E_ROOT/err")"
kill -TERM "$service"
e2e_until 20 sh -c "! kill -0 $service 2>/dev/null" || fail "the service did not end on SIGTERM"
wait "$service" && status=0 || status=$?
[ "$status" = 0 ] || fail "the service ended with $status: $(cat "$E2E_ROOT/service.out")"
notified() { grep -c -- "$1" "$E2E_ROOT/notified" || true; }
[ "$(notified ' READY=1|STATUS=')" = 1 ] || fail "no single READY=1: $(cat "$E2E_ROOT/notified")"
[ "$(notified " STATUS=Converting: folder 1 of [0-9]*, PDF 1 of [0-9]*: $in/")" -ge 1 ] \
    || fail "no status line for the PDF being converted: $(cat "$E2E_ROOT/notified")"
[ "$(notified ' STATUS=Idle. Last pass: 1 converted, [0-9]* skipped, 0 failed in .* Next pass at ')" -ge 1 ] \
    || fail "no status line after a pass: $(cat "$E2E_ROOT/notified")"
[ "$(notified ' STOPPING=1')" = 1 ] || fail "no STOPPING=1 at SIGTERM"
# Fed all along, also while a long PDF was converted: no gap of many feeds (until it was stopped).
gap=$(awk '/ WATCHDOG=1$/ { if (last && $1 - last > max) max = $1 - last; last = $1; n++ } END { printf "%d %.1f", n, max }' \
    "$E2E_ROOT/notified-before-stop")
[ "${gap% *}" -ge 10 ] && awk -v g="${gap#* }" 'BEGIN { exit !(g < 5) }' || fail "watchdog feeds, longest gap: $gap"
grep -q " : Converted $in/long.pdf\$" "$E2E_ROOT/service.out" || fail "the service printed no converted line"
rm "$in"/long*

# on-arrival: with an interval of an hour, a PDF dropped in (and one in a subfolder made meanwhile) is
# converted within seconds.
expect_status 0 --set interval=1:00:00
expect_status 0 --set on-arrival=on
"$QUARNEL" --service >"$E2E_ROOT/arrival.out" 2>&1 &
service=$!
E2E_PIDS+=("$service")
e2e_until 20 test -S "$HOME/.local/state/Vantorell/Quarnel/instance.socket" || fail "the service did not start"
sleep 3
cp "$pdfs/pixel.pdf" "$in/dropped.pdf"
e2e_until 20 grep -q " : Converted $in/dropped.pdf" "$log" || fail "a dropped PDF was not converted on arrival"
mkdir -p "$in/2027/01"
cp "$pdfs/pixel.pdf" "$in/2027/01/scan.pdf"
e2e_until 30 grep -q " : Converted $in/2027/01/scan.pdf" "$log" || fail "a PDF in a new subfolder was not converted"
kill -TERM "$service"
wait "$service" || fail "the service ended with $?: $(cat "$E2E_ROOT/arrival.out")"
rm -r "$in"/dropped* "$in/2027"
# The kernel's limit on watches reached (1, in a user namespace of the test's own): said once, and the
# interval's passes go on.
if unshare --user --map-root-user true 2>/dev/null; then
    expect_status 0 --set interval=2
    unshare --user --map-root-user sh -c 'echo 1 >/proc/sys/user/max_inotify_watches && exec "$0" --service' \
        "$QUARNEL" >"$E2E_ROOT/limit.out" 2>&1 &
    service=$!
    E2E_PIDS+=("$service")
    cp "$pdfs/pixel.pdf" "$in/sub/late.pdf"
    e2e_until 30 grep -q " : Converted $in/sub/late.pdf" "$log" || fail "the interval did not go on at the limit"
    sleep 5
    kill -TERM "$service"
    wait "$service" || fail "the service ended with $?: $(cat "$E2E_ROOT/limit.out")"
    [ "$(grep -c "limit on watches is reached" "$E2E_ROOT/limit.out")" = 1 ] \
        || fail "the limit was not said once: $(cat "$E2E_ROOT/limit.out")"
    rm "$in"/sub/late*
fi
expect_status 0 --set on-arrival=off

# SIGTERM during a pass: it ends after the PDF being converted; every PDF has all its pages or none.
rm -f "$in"/*.jpg "$in"/sub/*.jpg
: >"$log"
many="$E2E_ROOT/many"
mkdir "$many"
for i in $(seq 1 12); do cp "$pdfs/asy-latex.pdf" "$many/doc$i.pdf"; done
expect_status 0 --set "output=beside"
expect_status 0 --add-folder "$many"
"$QUARNEL" --convert-now >"$E2E_ROOT/cut" 2>&1 &
cut=$!
E2E_PIDS+=("$cut")
converted_any() { logtext | grep -q " : Converted $many/"; }
e2e_until 60 converted_any || fail "nothing was converted before SIGTERM"
kill -TERM "$cut"
wait "$cut" && status=0 || status=$?
[ "$status" = 3 ] || fail "a pass ended by SIGTERM ended with $status: $(cat "$E2E_ROOT/cut")"
converted=$(logtext | grep -c " : Converted $many/")
[ "$converted" -lt 12 ] || fail "SIGTERM did not end the pass early"
pages=$(pdfinfo "$many/doc1.pdf" | awk '/^Pages:/ {print $2}')
for i in $(seq 1 12); do
    n=$(find "$many" -name "doc${i}_*.jpg" -o -name "doc$i.jpg" | wc -l)
    if logtext | grep -q " : Converted $many/doc$i.pdf\$"; then
        [ "$n" = "$pages" ] || fail "doc$i.pdf was converted with $n of $pages pages"
    else
        [ "$n" = 0 ] || fail "doc$i.pdf has $n images but no converted line"
    fi
done
exit 0
