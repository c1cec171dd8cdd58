#!/usr/bin/env bash
# Power cuts at random moments of real passes, with each of the four methods: the log, TEMP and the
# output folder on a file system that forgets, at each cut, what was not made durable (see
# PowerCutFs.cpp). After every cut, each PDF whose "Converted" line survived must have all its images,
# whole; once the passes are let finish, every page of every PDF is there exactly once, the next pass
# skips them all, and the PDFs are untouched.
#   power_cut_test.sh QUARNEL POWERCUT_FS [CUTS_PER_METHOD]
# With QUARNEL_POWER_CUT_COUNT=1 it goes on past what it finds wrong and counts it instead (to measure a
# version that fails).
set -euo pipefail
QUARNEL="$1"
FS="$2"
CUTS="${3:-50}"
pdfs="$(cd "$(dirname "$0")/../data/pdfs" && pwd)"

skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "FUSE mounts for this test need root"
[ -c /dev/fuse ] || skip "no /dev/fuse"

root=$(mktemp -d)
backing="$root/backing"
grave="$root/grave"
mnt="$root/mnt"
mkdir -p "$backing" "$grave" "$mnt" "$root/state" "$root/runtime"
chmod 700 "$root/runtime"
seed="${QUARNEL_POWER_CUT_SEED:-$((RANDOM * 32768 + RANDOM))}"
echo "seed $seed (QUARNEL_POWER_CUT_SEED=$seed repeats this run)"
RANDOM=$((seed % 32768))
fs_pid=
round=0

cleanup() {
    [ -n "$fs_pid" ] && kill -TERM "$fs_pid" 2>/dev/null && wait "$fs_pid" 2>/dev/null
    umount -l "$mnt" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- the last run printed:" >&2
    tail -n 15 "$root/run.out" >&2 || true
    exit 1
}

faults=0
# Something a power cut must never leave: the end of the test, or counted.
wrong() {
    if [ "${QUARNEL_POWER_CUT_COUNT:-0}" = 1 ]; then
        echo "WRONG: $*" >&2
        faults=$((faults + 1))
    else
        fail "$*"
    fi
}

mount_fs() {
    round=$((round + 1))
    : >"$root/fs.out"
    "$FS" "$backing" "$grave" "$mnt" "$((seed + round))" >"$root/fs.out" 2>>"$root/fs.err" &
    fs_pid=$!
    for _ in $(seq 1 100); do
        grep -q mounted "$root/fs.out" 2>/dev/null && return 0
        kill -0 "$fs_pid" 2>/dev/null || break
        sleep 0.05
    done
    fs_pid=
    return 1
}

# Waits until no process has anything open on the mount any more.
wait_for_quiet() {
    for _ in $(seq 1 100); do
        find /proc/[0-9]*/fd /proc/[0-9]*/cwd -maxdepth 1 -lname "$mnt*" 2>/dev/null | grep -q . || return 0
        sleep 0.05
    done
}

cut_power() {
    wait_for_quiet
    kill -USR1 "$fs_pid"
    wait "$fs_pid" || true
    fs_pid=
    mount_fs || fail "the file system did not mount again"
}

make_durable() {
    kill -USR2 "$fs_pid"
    sleep 0.05
}

mount_fs || skip "FUSE is not usable here: $(tail -n 2 "$root/fs.err")"

export HOME="$mnt/home" XDG_CONFIG_HOME="$mnt/home/.config" TEMP="$mnt/temp"
export XDG_STATE_HOME="$root/state" XDG_RUNTIME_DIR="$root/runtime"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$root/no-bus"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
in="$mnt/in"
out="$mnt/out"
log="$TEMP/DEV2IVI.log"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$TEMP" "$in" "$out"
cp "$pdfs/CAD.pdf" "$in/cad.pdf"
cp "$pdfs/euro.pdf" "$in/euro.pdf"
for n in 1 2 3; do cp "$pdfs/pixel.pdf" "$in/one$n.pdf"; done
touch -d '-1 hour' "$in"/*.pdf
q() { timeout 300 "$QUARNEL" "$@" >"$root/run.out" 2>&1; }
q --add-folder "$in" || fail "--add-folder"
q --set "output=$out" || fail "--set output"
q --set resolution=72 || fail "--set resolution"
q --set pages=99 || fail "--set pages"
make_durable
pdf_sums=$(cd "$in" && sha256sum ./*)

# True when the file is a whole JPEG: its start and end markers are there.
whole_jpeg() {
    [ -s "$1" ] && [ "$(head -c 2 "$1" | od -An -tx1 | tr -d ' ')" = ffd8 ] \
        && [ "$(tail -c 2 "$1" | od -An -tx1 | tr -d ' ')" = ffd9 ]
}

# The images a PDF's conversion gives, from the reference listing.
images_of() {
    grep -E "^$1(-[0-9]+)?\.jpg$" "$root/expected" || true
}

# Every PDF the log says was converted has all its images, whole.
check_converted_lines() {
    local pdf stem image
    [ -f "$log" ] || return 0
    for pdf in $(tr -d '\r' <"$log" | sed -n 's/.* : Converted //p' | sort -u); do
        stem=$(basename "$pdf" .pdf)
        for image in $(images_of "$stem"); do
            whole_jpeg "$out/$image" || wrong "$1: $pdf has its Converted line, but $image is $(
                [ -e "$out/$image" ] && echo "not a whole JPEG ($(stat -c %s "$out/$image") bytes)" || echo missing)"
        done
    done
}

start_fresh() {
    rm -rf "${out:?}"/* "$out"/.[!.]* "$log" "$log".*
    make_durable
}

for method in gflax acrobat ghostscript black-white; do
    q --set "method=$method" || fail "--set method=$method"
    start_fresh
    # The reference: one pass without a cut, timed, gives the names to expect.
    began=$(date +%s%N)
    q --convert-now || fail "$method: the pass without a cut failed"
    pass_ms=$((($(date +%s%N) - began) / 1000000))
    (cd "$out" && ls -A) >"$root/expected"
    [ "$(wc -l <"$root/expected")" = $((7 + 15 + 3)) ] || fail "$method: $(wc -l <"$root/expected") images, not 25"
    echo "$method: a pass takes $pass_ms ms; $CUTS cuts"
    start_fresh
    for cut in $(seq 1 "$CUTS"); do
        # Now and then a cut soon after the start, when the record of an earlier cut is undone.
        delay=$((RANDOM % (pass_ms + 200)))
        setsid timeout 300 "$QUARNEL" --convert-now >"$root/run.out" 2>&1 &
        run=$!
        sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
        finished=0
        kill -0 "$run" 2>/dev/null || finished=1
        kill -KILL -- "-$run" 2>/dev/null || true
        wait "$run" 2>/dev/null || true
        cut_power
        check_converted_lines "$method, cut $cut after $delay ms"
        # A pass that ended before its cut converted everything: start over, so cuts keep landing on
        # conversions.
        if [ "$finished" = 1 ]; then
            start_fresh
        fi
    done
    # Let the passes finish: every page once, the next pass skips every PDF.
    for _ in 1 2 3; do q --convert-now && break; done
    q --convert-now || wrong "$method: the pass after the cuts failed"
    grep -q "0 converted, 5 skipped, 0 failed" "$root/run.out" \
        || wrong "$method: the last pass did not skip every PDF: $(tail -n 1 "$root/run.out")"
    (cd "$out" && ls -A) >"$root/found"
    missing=$(comm -23 "$root/expected" "$root/found" | wc -l)
    extra=$(comm -13 "$root/expected" "$root/found" | wc -l)
    broken=0
    for image in $(cat "$root/expected"); do
        [ ! -e "$out/$image" ] || whole_jpeg "$out/$image" || broken=$((broken + 1))
    done
    [ "$missing$extra$broken" = 000 ] \
        || wrong "$method: $missing pages missing, $broken not whole, $extra images too many: $(comm -3 "$root/expected" "$root/found" | head -n 5 | tr '\n' ' ')"
    [ "$(cd "$in" && sha256sum ./*)" = "$pdf_sums" ] || fail "$method: the PDFs changed"
    [ "$(cd "$in" && ls -A | wc -l)" = 5 ] || fail "$method: something was left beside the PDFs: $(ls -A "$in")"
    echo "$method: $CUTS cuts done"
done
echo "power cuts: $(grep -c 'power cut' "$root/fs.err") played; $(awk '{t += $3; f += $10} END {print t " entry changes taken back, " f " files lost data"}' <(grep 'power cut' "$root/fs.err"))"
[ "$faults" = 0 ] || fail "$faults things wrong"
echo "every page of every PDF once, after every cut"
