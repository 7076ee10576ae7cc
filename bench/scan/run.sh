#!/bin/sh
# Raw scan speed against plain sequential reading of the same image.
#   bench/scan/run.sh [BUILD_DIR] [IMAGE_DIR]
# Makes a 2 GiB exFAT image (random heap with planted signatures), then prints the best of three
# runs of each: (a) cold page cache (needs root to drop caches), the analysis against `cat`;
# (b) warm page cache, the analysis with --chunk-mib 1 and with the default against `cat`.
# Goals: (a) <= 1.1x, (b) <= 1.5x. The image is deleted at the end.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
imgdir=${2:-${TMPDIR:-/tmp}}
img=$(mktemp "$imgdir/scan_bench_XXXXXX.img")
work_root=$(mktemp -d "$imgdir/scan_bench_work_XXXXXX")
trap 'rm -rf "$img" "$work_root"' EXIT

truncate -s 2G "$img"
mkfs.exfat "$img" >/dev/null
python3 - "$img" <<'PY'
import os, struct, sys
path = sys.argv[1]
with open(path, "r+b") as f:
    boot = f.read(512)
    heap = struct.unpack_from("<I", boot, 88)[0] << boot[108]
    size = os.fstat(f.fileno()).st_size
    block = 16 << 20
    f.seek(heap)
    pos = heap
    while pos < size:
        n = min(block, size - pos)
        f.write(os.urandom(n))
        pos += n
    # Signatures across the heap, some straddling 1 MiB read boundaries.
    sigs = [b"ftypXAVC", b"kkad", b"moov"]
    for i, at in enumerate(range(heap + 4096, size - 8, 3 << 20)):
        f.seek(at)
        f.write(sigs[i % 3])
    for at in range(16 << 20, size, 64 << 20):
        f.seek(at - 3)
        f.write(b"kkad")
PY

can_drop=0
if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then can_drop=1; fi

now() { date +%s.%N; }
# best_of COLD CMD...: the shortest of three wall times in seconds.
best_of() {
    cold=$1; shift
    best=""
    for _ in 1 2 3; do
        if [ "$cold" = 1 ]; then sync; echo 1 > /proc/sys/vm/drop_caches; fi
        work=$(mktemp -d "$work_root/run_XXXXXX")
        t0=$(now)
        WORK="$work" "$@" >/dev/null
        t1=$(now)
        best=$(awk -v a="$t0" -v b="$t1" -v best="$best" \
            'BEGIN { t = b - a; if (best == "" || t < best + 0) best = t; printf "%.4f", best }')
    done
    echo "$best"
}
analysis() { "$build/mendora" "$img" --analysis-only --no-progress --work-dir "$WORK" -o "$WORK" "$@"; }
read_all() { cat "$img" > /dev/null; }
scan_only() { "$build/scan_bench" "$img" "$@"; }
report() { awk -v n="$1" -v t="$2" -v c="$3" 'BEGIN { printf "%-48s %8.3f s  %5.2fx cat\n", n, t, t / c }'; }

have_engine=0; [ -x "$build/mendora" ] && have_engine=1
have_bench=0; [ -x "$build/scan_bench" ] && have_bench=1

if [ "$can_drop" = 1 ]; then
    cat_cold=$(best_of 1 read_all)
    printf '%-48s %8.3f s\n' "(a) cold: cat" "$cat_cold"
    [ "$have_engine" = 1 ] && report "(a) cold: analysis (goal <= 1.1x)" "$(best_of 1 analysis)" "$cat_cold"
    [ "$have_bench" = 1 ] && report "(a) cold: scan only" "$(best_of 1 scan_only)" "$cat_cold"
else
    echo "(a) cold: skipped (dropping the page cache needs root)"
fi

read_all
cat_warm=$(best_of 0 read_all)
printf '%-48s %8.3f s\n' "(b) warm: cat" "$cat_warm"
if [ "$have_engine" = 1 ]; then
    report "(b) warm: analysis --chunk-mib 1 (goal <= 1.5x)" "$(best_of 0 analysis --chunk-mib 1)" "$cat_warm"
    report "(b) warm: analysis, default chunk" "$(best_of 0 analysis)" "$cat_warm"
fi
if [ "$have_bench" = 1 ]; then
    report "(b) warm: scan only, 1 MiB reads" "$(best_of 0 scan_only 1)" "$cat_warm"
    report "(b) warm: scan only, 64 MiB reads" "$(best_of 0 scan_only 64)" "$cat_warm"
fi
