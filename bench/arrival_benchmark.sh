#!/usr/bin/env bash
# The delay from a PDF dropped into a watched folder to its images, with on-arrival on: the service
# runs with an interval of an hour, so only arrivals start passes. 20 drops, one at a time (each waits
# for the one before); prints every delay and the median. The delay holds the settle time (a PDF is
# converted only once it has been left alone for 3 seconds) and the conversion.
#   arrival_benchmark.sh BUILD/bin/quarnel [PDF]
set -euo pipefail
quarnel="$(readlink -f "$1")"
pdf="$(readlink -f "${2:-$(dirname "$0")/../tests/data/pdfs/CAD.pdf}")"
work=$(mktemp -d)
trap 'kill "$service" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" TEMP="$work/temp" HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$TEMP" "$HOME" "$XDG_RUNTIME_DIR" "$work/in"
chmod 700 "$XDG_RUNTIME_DIR"
"$quarnel" --add-folder "$work/in"
for setting in "output=beside the PDF" interval=1:00:00 on-arrival=on log-skipped=no; do
    "$quarnel" --set "$setting"
done
"$quarnel" --service >"$work/service.out" 2>&1 &
service=$!
until grep -q '^Started ' "$TEMP/DEV2IVI.log" 2>/dev/null; do sleep 0.1; done
sleep 2.5 # the service watches its folders within its first refresh
delays=()
for i in $(seq 1 20); do
    start=$(date +%s.%N)
    cp "$pdf" "$work/in/drop$i.pdf"
    until grep -q " : \(Converted\|Could not create JPG on\) $work/in/drop$i.pdf" "$TEMP/DEV2IVI.log"; do
        sleep 0.02
        (($(date +%s) - ${start%.*} < 120)) || { echo "drop $i was not converted within 2 minutes"; exit 1; }
    done
    delay=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')
    delays+=("$delay")
    printf 'drop %2d: %.2f s\n' "$i" "$delay"
done
printf '%s\n' "${delays[@]}" | sort -n | awk '{ d[NR] = $1 } END { printf "median delay from drop to images over %d drops: %.2f s (%s, %s)\n", NR, (d[int((NR + 1) / 2)] + d[int(NR / 2) + 1]) / 2, "settle time 3 s", "interval 1 hour" }'
