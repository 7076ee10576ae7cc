#!/bin/sh
# Peak memory and cold-cache writing speed on a 4 GiB card of 16 recordings of 280 s each.
#   bench/memory/run.sh [BUILD_DIR] [IMAGE_DIR]
# Makes the card once with mendora-mkcard (kept in IMAGE_DIR/memory_bench_card and reused by the
# next run: encoding it takes minutes), then prints the best of three runs of each:
#   (a) peak resident memory of --analysis-only and of --recover-all; goal <= 160 MiB each;
#   (b) --recover-all --no-validator with the image dropped from the page cache before every run,
#       against `cat` of the image dropped the same way; goal <= 1.3x. For scale, the floor of any
#       tool that writes the clips: `cat` of the image, then as many bytes as the clips hold written
#       to a new file (on a machine whose disk is busy, writing is the larger part).
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
# report NAME "WALL CPU RSS" "CAT_WALL CAT_CPU CAT_RSS"
report() {
    echo "$2 $3" | awk -v n="$1" '{ printf "%-46s %7.3f s (%5.2fx cat)   cpu %6.3f s   peak %7.1f MiB\n", n, $1, $1 / $4, $2, $3 }'
}

analysis=$(best_of -- $(engine --analysis-only))
recover=$(best_of -- $(engine --recover-all))
cat_cold=$(best_of --evict "$img" -- sh -c 'cat "$0" > /dev/null' "$img")
clip_bytes=$(python3 -c 'import json, sys
print(sum(r["output_size"] for r in json.load(open(sys.argv[1]))["recordings"] if r["recover"]))' "$card/truth.json")
floor_cold=$(best_of --evict "$img" -- sh -c 'cat "$0" > /dev/null && head -c "$1" "$0" > "$2/clips"' "$img" \
    "$clip_bytes" @WORK@)
plain_cold=$(best_of --evict "$img" -- $(engine --recover-all --no-validator))
after=$(sha256sum < "$img")

echo "card: $(du -b "$img" | cut -f1) bytes, 16 recordings of 7008 frames"
report "(a) --analysis-only (goal <= 160 MiB)" "$analysis" "$cat_cold"
report "(a) --recover-all (goal <= 160 MiB)" "$recover" "$cat_cold"
report "(b) cold: cat" "$cat_cold" "$cat_cold"
report "(b) cold: cat, then writing $clip_bytes bytes" "$floor_cold" "$cat_cold"
report "(b) cold: --recover-all --no-validator (goal <= 1.3x)" "$plain_cold" "$cat_cold"
if [ "$before" != "$after" ]; then echo "SOURCE IMAGE CHANGED" >&2; exit 1; fi
echo "source image unchanged"
