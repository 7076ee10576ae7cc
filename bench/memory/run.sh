#!/bin/sh
# Peak memory and cold-cache writing speed on a 4 GiB card of 16 recordings of 280 s each.
#   bench/memory/run.sh [BUILD_DIR] [IMAGE_DIR] [ROUNDS]
# Makes the card once with mendora-mkcard (kept in IMAGE_DIR/memory_bench_card and reused by the
# next run: encoding it takes minutes), then prints, and writes to bench/memory/RESULTS.md:
#   (a) the best of three runs' peak resident memory of --analysis-only and of --recover-all;
#       goal <= 160 MiB each;
#   (b) ROUNDS (default 5) rounds of five runs taken one after the other, the image dropped from
#       the page cache and everything written before by any run put on disk (sync) before each:
#       `cat` of the image; the engine's reading side alone (--analysis-only: the raw scan and the
#       analysis); `cat`, then as many bytes as the clips hold written to a new file (the floor
#       of a tool that reads the card once and writes the clips through its own memory); the same
#       with the clips' bytes copied inside the system, as the engine copies them (the floor of
#       a tool that reads the whole card before it writes); and
#       --recover-all --no-validator, goal <= 1.3x `cat`. Each as the median of its ratios to the
#       `cat` of the same round, with the load average of the machine.
# Every run starts with an empty working folder, so the raw scan runs each time. Only the image's
# own pages are dropped, so no root is needed and the rest of the machine keeps its cache. The
# source image is hashed before and after and must not change.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
imgdir=${2:-${TMPDIR:-/tmp}}
card="$imgdir/memory_bench_card"
img="$card/card.img"
work_root=$(mktemp -d "$imgdir/memory_bench_work_XXXXXX")
trap 'rm -rf "$work_root"' EXIT

[ -x "$build/mendora" ] || { echo "no $build/mendora" >&2; exit 1; }
if [ ! -f "$img" ]; then
    "$build/mendora-mkcard" --out "$card" --count 16 --frames 7008 --size-mib 4096 --random-free >/dev/null
fi
before=$(sha256sum < "$img")

best_of() { python3 "$here/../scan/best_of.py" --work-root "$work_root" --rss "$@"; }
engine() { echo "$build/mendora" "$img" --work-dir @WORK@ -o @WORK@ --no-progress "$@"; }
# report NAME "WALL CPU RSS"
report() {
    echo "$2" | awk -v n="$1" '{ printf "%-40s %7.3f s   cpu %6.3f s   peak %7.1f MiB\n", n, $1, $2, $3 }'
}

clip_bytes=$(python3 -c 'import json, sys
print(sum(r["output_size"] for r in json.load(open(sys.argv[1]))["recordings"] if r["recover"]))' "$card/truth.json")
results="$here/RESULTS.md"
{
    echo "# Peak memory and cold-cache speed on the 4 GiB card"
    echo
    echo "Written by \`bench/memory/run.sh\`; do not edit by hand. $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores."
    echo
    echo '```'
    echo "card: $(du -b "$img" | cut -f1) bytes, 16 recordings of 7008 frames, clips $clip_bytes bytes"
    report "(a) --analysis-only (goal <= 160 MiB)" "$(best_of -- $(engine --analysis-only))"
    report "(a) --recover-all (goal <= 160 MiB)" "$(best_of -- $(engine --recover-all))"
    echo "(b) cold, interleaved:"
    python3 "$here/../interleaved.py" --evict "$img" --rounds "${3:-5}" --work-root "$work_root" \
        -- "cat" sh -c 'cat "$0" > /dev/null' "$img" \
        -- "--analysis-only" $(engine --analysis-only) \
        -- "cat, then writing the clips' bytes" \
           sh -c 'cat "$0" > /dev/null && head -c "$1" "$0" > "$2/clips"' "$img" "$clip_bytes" @WORK@ \
        -- "cat, then copying them in the system" \
           sh -c 'cat "$0" > /dev/null && python3 "$3" "$0" "$1" "$2/clips"' "$img" "$clip_bytes" @WORK@ \
           "$here/copy_clip_bytes.py" \
        -- "--recover-all --no-validator (goal 1.3x)" $(engine --recover-all --no-validator)
    echo '```'
} | tee "$results"
after=$(sha256sum < "$img")
if [ "$before" != "$after" ]; then echo "SOURCE IMAGE CHANGED" >&2; exit 1; fi
echo "source image unchanged"
