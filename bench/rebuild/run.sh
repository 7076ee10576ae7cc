#!/bin/sh
# Clip rebuild speed against plain copying of the same number of bytes.
#   bench/rebuild/run.sh [BUILD_DIR] [IMAGE_DIR] [RECORDINGS] [FRAMES]
# Makes a card holding RECORDINGS recordings of FRAMES frames each (default 8 x 7008 frames,
# about 1.1 GiB of recordings) with mendora-mkcard, runs the analysis once so that the scan
# cache exists, then takes the best of three warm-cache runs of each:
#   (a) recovering every clip without the validator, against `cp` of a file as large as all
#       output files together; goal <= 1.5x;
#   (b) the same recovery with the validator; its extra time is reported as decoded frames per
#       second.
# The source image is hashed before and after and must not change. Everything made is deleted
# at the end.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
imgdir=${2:-${TMPDIR:-/tmp}}
count=${3:-8}
frames=${4:-7008}
root=$(mktemp -d "$imgdir/rebuild_bench_XXXXXX")
trap 'rm -rf "$root"' EXIT

[ -x "$build/mendora" ] || { echo "no $build/mendora" >&2; exit 1; }
[ -x "$build/mendora-mkcard" ] || { echo "no $build/mendora-mkcard" >&2; exit 1; }

# 25 frames a second of about 19 KiB each plus 192 KiB of sound per second
size_mib=$(( count * frames * 27 / 1024 + 64 ))
"$build/mendora-mkcard" --out "$root/card" --count "$count" --frames "$frames" --size-mib "$size_mib" \
    --random-free >/dev/null
img="$root/card/card.img"
before=$(sha256sum < "$img")
mkdir -p "$root/work"
"$build/mendora" "$img" --work-dir "$root/work" -o "$root/work" --analysis-only --no-progress >/dev/null

now() { date +%s.%N; }
# best_of LOG CMD...: the shortest of three wall times in seconds; the last run's output in LOG.
best_of() {
    log=$1; shift
    best=""
    for _ in 1 2 3; do
        rm -rf "$root/out"
        t0=$(now)
        "$@" >"$log" 2>&1
        t1=$(now)
        best=$(awk -v a="$t0" -v b="$t1" -v best="$best" \
            'BEGIN { t = b - a; if (best == "" || t < best + 0) best = t; printf "%.4f", best }')
    done
    echo "$best"
}
recover() { "$build/mendora" "$img" --work-dir "$root/work" -o "$root/out" --recover-all --no-progress "$@"; }

t_plain=$(best_of "$root/plain.log" recover --no-validator)
written=$(grep -c '^  -> ' "$root/plain.log" || true)
bytes=$(cat "$root"/out/*.MP4 | wc -c)
head -c "$bytes" "$img" > "$root/copy_src"
t_cp=$(best_of "$root/cp.log" cp "$root/copy_src" "$root/copy_dst")
t_valid=$(best_of "$root/valid.log" recover)
# One more run without the validator, split by the writer's own lines: from each clip's timing
# line to its preparing line the chunks are located and the movie box is built; from preparing
# to "  -> " the file is written.
rm -rf "$root/out"
split=$(recover --no-validator | python3 -c '
import sys, time
locate = write = 0.0
mark = time.time()
for line in sys.stdin:
    now = time.time()
    if " | preparing | " in line:
        locate += now - mark
        mark = now
    elif line.startswith("  -> "):
        write += now - mark
    if ": fps=" in line:
        mark = now
print("%.4f %.4f" % (locate, write))')
t_locate=${split% *}
t_write=${split#* }
frames_done=$(awk '/AVC validation PASS:/ { n += $(NF-2) } END { print n + 0 }' "$root/valid.log")
after=$(sha256sum < "$img")

echo "recordings on the card : $(cat "$root"/card/recordings/* | wc -c) bytes, clips written: $written"
echo "output bytes           : $bytes"
echo "recover (no validator) : ${t_plain}s"
echo "cp of the same bytes   : ${t_cp}s"
awk -v a="$t_plain" -v b="$t_cp" 'BEGIN { printf "ratio                  : %.2fx (goal <= 1.5x)\n", a / b }'
echo "  of which locating     : ${t_locate}s (chunk search from timing line to preparing line)"
echo "  of which writing      : ${t_write}s (preparing line to \"  -> \")"
awk -v a="$t_write" -v b="$t_cp" 'BEGIN { printf "writing alone vs cp    : %.2fx\n", a / b }'
echo "recover (validator)    : ${t_valid}s, ${frames_done} frames decoded"
awk -v v="$t_valid" -v p="$t_plain" -v f="$frames_done" 'BEGIN {
    extra = v - p; if (extra <= 0) extra = 0.0001
    printf "validator cost         : %.0f decoded frames per second (%.2fs extra)\n", f / extra, v - p }'
if [ "$before" != "$after" ]; then echo "SOURCE IMAGE CHANGED" >&2; exit 1; fi
echo "source image unchanged"
