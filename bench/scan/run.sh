#!/bin/sh
# Raw scan speed against plain sequential reading of the same image.
#   bench/scan/run.sh [BUILD_DIR] [IMAGE_DIR]
# Makes a 2 GiB exFAT image (random heap with planted signatures), then prints the best of three
# runs of each: (a) cold page cache (needs root to drop caches), the analysis against `cat`;
# (b) warm page cache, the analysis with --chunk-mib 1 and with the default against `cat`.
# Goals: (a) <= 1.1x, (b) <= 1.5x. Wall time decides; CPU time (user + system) is shown too,
# because on a shared machine it is the steadier of the two. The image is deleted at the end.
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
    # Signatures across the heap, some straddling 1 MiB read boundaries. Each gets a small box
    # size in front, so that reading the hits back stays as cheap as it is on a real card.
    sigs = [b"ftypXAVC", b"kkad", b"moov"]
    for i, at in enumerate(range(heap + 4096, size - 8, 3 << 20)):
        f.seek(at - 4)
        f.write(struct.pack(">I", 16) + sigs[i % 3])
    for at in range(16 << 20, size, 64 << 20):
        f.seek(at - 7)
        f.write(struct.pack(">I", 16) + b"kkad")
PY

cold_flag=""
if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then cold_flag="--cold"; fi

best_of() { python3 "$here/best_of.py" --work-root "$work_root" "$@"; }
analysis() { echo "$build/mendora" "$img" --analysis-only --no-progress --work-dir @WORK@ -o @WORK@; }
# report NAME "WALL CPU" "CAT_WALL CAT_CPU"
report() {
    echo "$2 $3" | awk -v n="$1" '{ printf "%-50s %7.3f s (%5.2fx cat)   cpu %6.3f s (%5.2fx cat)\n", n, $1, $1 / $3, $2, $2 / $4 }'
}

have_engine=0; [ -x "$build/mendora" ] && have_engine=1
have_bench=0; [ -x "$build/scan_bench" ] && have_bench=1

if [ -n "$cold_flag" ]; then
    cat_cold=$(best_of --cold -- sh -c 'cat "$0" > /dev/null' "$img")
    report "(a) cold: cat" "$cat_cold" "$cat_cold"
    [ "$have_engine" = 1 ] && report "(a) cold: analysis (goal <= 1.1x)" "$(best_of --cold -- $(analysis))" "$cat_cold"
    [ "$have_bench" = 1 ] && report "(a) cold: scan only" "$(best_of --cold -- "$build/scan_bench" "$img")" "$cat_cold"
else
    echo "(a) cold: skipped (dropping the page cache needs root)"
fi

cat "$img" > /dev/null
cat_warm=$(best_of -- sh -c 'cat "$0" > /dev/null' "$img")
report "(b) warm: cat" "$cat_warm" "$cat_warm"
if [ "$have_engine" = 1 ]; then
    report "(b) warm: analysis --chunk-mib 1 (goal <= 1.5x)" "$(best_of -- $(analysis) --chunk-mib 1)" "$cat_warm"
    report "(b) warm: analysis, default chunk" "$(best_of -- $(analysis))" "$cat_warm"
fi
if [ "$have_bench" = 1 ]; then
    report "(b) warm: scan only, 1 MiB reads" "$(best_of -- "$build/scan_bench" "$img" 1)" "$cat_warm"
    report "(b) warm: scan only, 64 MiB reads" "$(best_of -- "$build/scan_bench" "$img" 64)" "$cat_warm"
fi
