#!/usr/bin/env bash
# Runs methods_benchmark with everything a pass writes (the program's TEMP with its log, the output
# folder) first on a tmpfs, then on an ext4 file system in a loop file, both made here (root only); on
# each, every benchmark binary given in turn, so that two builds are compared side by side on the same
# disks. Prints each run's one-page figures; the whole output of each run goes to OUT_DIR.
#   [FILE_SYSTEMS="tmpfs ext4"] on_file_systems.sh OUT_DIR METHODS_BENCHMARK [ANOTHER_METHODS_BENCHMARK ...]
set -euo pipefail
out="$1"
shift
[ "$(id -u)" = 0 ] || {
    echo "needs root: it mounts a tmpfs and a loop file"
    exit 1
}
mkdir -p "$out"
work=$(mktemp -d)
cleanup() {
    umount "$work/tmpfs" 2>/dev/null || true
    umount "$work/ext4" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/tmpfs" "$work/ext4"
mount -t tmpfs -o size=4g tmpfs "$work/tmpfs"
truncate -s 4G "$work/ext4.img"
mkfs.ext4 -q -F "$work/ext4.img"
mount -o loop "$work/ext4.img" "$work/ext4"
for fs in ${FILE_SYSTEMS:-tmpfs ext4}; do
    run=0
    for benchmark in "$@"; do
        run=$((run + 1))
        echo "== $fs, run $run: $benchmark"
        TMPDIR="$work/$fs" "$benchmark" >"$out/$fs-$run.txt" 2>&1
        grep -A 6 "^one-page PDFs" "$out/$fs-$run.txt"
        grep "own cost" "$out/$fs-$run.txt" || true
    done
done
