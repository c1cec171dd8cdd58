#!/usr/bin/env bash
# The service's lines in the systemd journal at their priorities, with the PDF as a field of its own:
# a conversion at info, a failure at warning. Needs a journal: the machine's own, or (as root) a
# journald started for the test; skipped (77) otherwise.
QUARNEL="$1"
source "$(dirname "$0")/lib.sh"
e2e_setup_headless
pdfs="$(dirname "$0")/../data/pdfs"
command -v journalctl >/dev/null && command -v systemd-cat >/dev/null || { echo "no journal tools: skipped"; exit 77; }
if ! systemd-cat true 2>/dev/null; then
    [ "$(id -u)" = 0 ] && [ -x /lib/systemd/systemd-journald ] || { echo "no journal here: skipped"; exit 77; }
    mkdir -p /run/systemd/journal
    /lib/systemd/systemd-journald >"$E2E_ROOT/journald.out" 2>&1 &
    E2E_PIDS+=("$!")
    e2e_until 10 systemd-cat true || { echo "journald did not start: skipped"; exit 77; }
fi

in="$E2E_ROOT/in"
mkdir -p "$in"
cp "$pdfs/pixel.pdf" "$in/good.pdf"
head -c 3000 "$pdfs/euro.pdf" >"$in/broken.pdf"
touch -d '-1 hour' "$in"/*.pdf
"$QUARNEL" --add-folder "$in"
"$QUARNEL" --set "output=beside the PDF"
"$QUARNEL" --set interval=1
# Standard error connected to the journal's stream, as systemd connects a service's (systemd tells the
# service which stream that is).
systemd-cat -t quarnel-test sh -c 'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec "$0" --service' \
    "$QUARNEL" &
E2E_PIDS+=("$!")
log="$TEMP/DEV2IVI.log"
e2e_until 60 grep -q "Could not create JPG on $in/broken.pdf" "$log" || fail "the service converted nothing"
sleep 1
for pid in $(pgrep -x quarnel || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "TEMP=$TEMP" && kill -TERM "$pid"
done
# Counted afresh on each try: the count taken once would hold the copy that had not yet ended.
no_copy_left() { [ "$(e2e_own_copies)" = 0 ]; }
e2e_until 20 no_copy_left || fail "the service did not end"
journalctl --no-pager -o json SYSLOG_IDENTIFIER=quarnel >"$E2E_ROOT/journal" || fail "journalctl failed"
/usr/bin/python3 - "$E2E_ROOT/journal" "$in" <<'PY' || fail "the journal lacks the service's entries"
import json, sys
entries = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
ours = [e for e in entries if sys.argv[2] in str(e.get("MESSAGE", ""))]
def find(kind, priority):
    pdf = sys.argv[2] + ("/good.pdf" if kind == "Converted " else "/broken.pdf")
    hits = [e for e in ours if kind + pdf in e["MESSAGE"] and e.get("PRIORITY") == priority
            and e.get("QUARNEL_PDF") == pdf]
    if not hits:
        sys.exit("no %s entry at priority %s with QUARNEL_PDF: %s" % (kind, priority, ours))
find("Converted ", "6")
find("Could not create JPG on ", "4")
if any("No new files" in e["MESSAGE"] for e in ours):
    sys.exit("skipped PDFs went to the journal")
PY
exit 0
