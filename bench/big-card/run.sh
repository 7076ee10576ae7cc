#!/usr/bin/env bash
# Peak memory and cold/warm speed of the engine on a big card, as ratios against the goals.
#   bench/big-card/run.sh [BUILD_DIR] [DATA_DIR] [CARD ARGS...]
# Makes the card with mendora-mkcard (default: 16 recordings of 280 s at 256x144 with random free
# space on 4 GiB, `--count 16 --frames 7008 --size-mib 4096 --random-free`), then prints:
#   - peak memory (/usr/bin/time -v) of --analysis-only and of --recover-all, against 160 MiB;
#   - --recover-all --no-validator from a cold page cache (root drops it) and from a warm one,
#     each against `cat IMAGE > /dev/null` under the same cache state; goal cold <= 1.3x cat.
# The source image is hashed before and after and must not change; DATA_DIR (default
# /work/bench-data/big-card) is emptied at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
data=${2:-/work/bench-data/big-card}
shift $(( $# > 2 ? 2 : $# ))
card_args=("$@")
[ ${#card_args[@]} -gt 0 ] || card_args=(--count 16 --frames 7008 --size-mib 4096 --random-free)
bash "$here/../../scripts/install-deps.sh" peers
mkdir -p "$data"
data=$(cd "$data" && pwd)
trap 'rm -rf "$data/card" "$data/work" "$data/out"' EXIT
"$build/mendora-mkcard" --out "$data/card" "${card_args[@]}" >/dev/null
rm -rf "$data/card/recordings" "$data/card/expected" "$data/card/expected_keep"
img="$data/card/card.img"
before=$(sha256sum <"$img")

drop_caches() { sync; [ "$(id -u)" = 0 ] && echo 3 >/proc/sys/vm/drop_caches || true; }
# measure CMD...: prints "WALL PEAK_MIB" of one run under /usr/bin/time -v.
measure() {
    rm -rf "$data/out"
    /usr/bin/time -v -o "$data/time.txt" "$@" >/dev/null 2>"$data/stderr.txt" ||
        { cat "$data/stderr.txt" >&2; exit 1; }
    awk -f "$here/../time_v.awk" "$data/time.txt"
}
engine=("$build/mendora" "$img" --work-dir "$data/work" -o "$data/out" --no-progress)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

fresh_work() { rm -rf "$data/work"; mkdir -p "$data/work"; }

echo "card: mendora-mkcard ${card_args[*]} ($(( $(stat -c %s "$img") >> 20 )) MiB)"
# each run starts without a scan cache, so the raw scan's buffers count too
fresh_work
read -r _ analysis_peak < <(measure "${engine[@]}" --analysis-only)
fresh_work
read -r _ recover_peak < <(measure "${engine[@]}" --recover-all)
printf 'peak memory --analysis-only: %s MiB (%sx the 160 MiB goal)\n' "$analysis_peak" "$(ratio "$analysis_peak" 160)"
printf 'peak memory --recover-all:   %s MiB (%sx the 160 MiB goal)\n' "$recover_peak" "$(ratio "$recover_peak" 160)"
for cache in cold warm; do
    fresh_work
    [ $cache = cold ] && drop_caches || cat "$img" >/dev/null
    read -r cat_wall _ < <(measure cat "$img")
    [ $cache = cold ] && drop_caches
    read -r run_wall _ < <(measure "${engine[@]}" --recover-all --no-validator)
    printf '%s cache: --recover-all --no-validator %s s, cat %s s: %sx cat\n' "$cache" "$run_wall" "$cat_wall" \
        "$(ratio "$run_wall" "$cat_wall")"
done
[ "$(sha256sum <"$img")" = "$before" ] || { echo "the engine changed the source image" >&2; exit 1; }
