#!/usr/bin/env bash
# The engine against the recovery tools people use, on the same generated cards.
#   bench/peers/run.sh [BUILD_DIR] [DATA_DIR] [BIG_MIB]
# Installs PhotoRec (testdisk), foremost and scalpel from Debian, each set to MP4/MOV only, then
# on every card runs `cat IMAGE` (the floor: every byte read once), the three tools and the
# engine with --recover-all, with and without the validator. For each run: clips written as files,
# clips that decode without an error, clips whose video equals an original recording, wall time
# and peak memory (/usr/bin/time -v). Cards: the contiguous ones (small and 1080p), the
# reformatted card with random free space, cards whose recordings lie in extents out of order,
# the card with an HEVC recording, and a card of BIG_MIB (default 4096) at 1080p for timing.
# Big cards and tool outputs go under DATA_DIR (default /work/bench-data/peers) and are deleted
# at the end; the results go to bench/RESULTS.md. Run as root: the page cache is dropped before
# every timed run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
data=${2:-/work/bench-data/peers}
big_mib=${3:-4096}
bash "$root/scripts/install-deps.sh" peers
[ -x "$build/mendora" ] && [ -x "$build/mendora-mkcard" ] || { echo "build $build first" >&2; exit 1; }
mkdir -p "$data"
data=$(cd "$data" && pwd)
trap 'rm -rf "$data/cards" "$data/out" "$data/work" "$data/decoded.json"' EXIT
tsv="$data/results.tsv"
: >"$tsv"
rm -f "$data/decoded.json"

drop_caches() { sync; [ "$(id -u)" = 0 ] && echo 3 >/proc/sys/vm/drop_caches || true; }

# timed LOG LIMIT CMD...: runs CMD under /usr/bin/time -v from a cold page cache, killed after
# LIMIT seconds; prints "WALL PEAK_MIB", the wall time marked "(killed)" when it ran out of time.
timed() {
    local log=$1 limit=$2; shift 2
    drop_caches
    local status=0 out=$log
    : >"$log"
    [ "$1" = cat ] && out=/dev/null
    /usr/bin/time -v -o "$log.time" timeout -s KILL "$limit" "$@" >"$out" 2>>"$log" || status=$?
    awk -v killed=$(( status == 137 )) -f "$here/../time_v.awk" "$log.time"
}

peer() {  # peer TOOL IMAGE OUT: the tool's command line in `cmd`
    local engine=("$build/mendora" "$2" --work-dir "$data/work" -o "$3" --recover-all --no-progress)
    case $1 in
      # PhotoRec writes its log to the current folder, which is $data
      photorec) cmd=(photorec /log /d "$3/recup" /cmd "$2" partition_none,fileopt,everything,disable,mov,enable,search) ;;
      foremost) cmd=(foremost -Q -t mov,mp4 -i "$2" -o "$3") ;;
      scalpel) cmd=(scalpel -c "$here/scalpel.conf" -o "$3" "$2") ;;
      mendora) cmd=("${engine[@]}") ;;
      mendora-no-validator) cmd=("${engine[@]}" --no-validator) ;;
    esac
}

bench_card() {  # bench_card NAME DESCRIPTION MKCARD_ARGS...
    local name=$1 what=$2; shift 2
    local card="$data/cards/$name"
    rm -rf "$card"
    "$build/mendora-mkcard" --out "$card" "$@" >/dev/null
    local img="$card/card.img"
    local before
    before=$(sha256sum <"$img")
    python3 - "$card/truth.json" "$name" "$what" >>"$tsv" <<'PY'
import json, sys
t = json.load(open(sys.argv[1]))
print("\t".join([sys.argv[2], "card", sys.argv[3], str(len(t["recordings"])), str(t["recoverable_clips"]),
                 str(t["image_size"] >> 20)]))
PY
    # a tool gets two minutes and another minute for every GiB of image before it is stopped
    local limit=$(( 120 + 60 * $(stat -c %s "$img") / 1073741824 ))
    printf '%s\tcat\t-\t-\t-\t%s\t%s\n' "$name" $(timed "$data/cat.log" "$limit" cat "$img") >>"$tsv"
    for tool in photorec foremost scalpel mendora mendora-no-validator; do
        rm -rf "$data/out" "$data/work"
        mkdir -p "$data/work"
        # foremost and scalpel want an output folder that does not exist yet
        [ "$tool" = photorec ] && mkdir -p "$data/out"
        local took
        peer "$tool" "$img" "$data/out"
        took=$(cd "$data" && timed "$data/$tool.log" "$limit" "${cmd[@]}")
        mkdir -p "$data/out"
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$tool" \
            $(python3 "$here/score.py" "$card" "$data/out" "$data/decoded.json") $took >>"$tsv"
        echo "$name $tool: $(tail -1 "$tsv" | cut -f3-)" >&2
    done
    [ "$name" = big-1080p ] && interleaved_timing "$img"
    [ "$(sha256sum <"$img")" = "$before" ] || { echo "the image of $name changed" >&2; exit 1; }
    rm -rf "$card"
}

# One run per tool swings with the disk; on the big card `cat`, PhotoRec and the engine also run
# in turn for three rounds, each from a cold cache, and are compared by their ratios to the
# `cat` of the same round.
interleaved_timing() {
    python3 "$here/../interleaved.py" --evict "$1" --rounds 3 --work-root "$data" \
        -- cat sh -c 'cat "$0" > /dev/null' "$1" \
        -- photorec sh -c 'cd "$1" && photorec /log /d "$1/recup" /cmd "$0" \
               partition_none,fileopt,everything,disable,mov,enable,search' "$1" @WORK@ \
        -- mendora-no-validator "$build/mendora" "$1" --work-dir @WORK@ -o @WORK@ --recover-all --no-progress \
               --no-validator >"$data/interleaved.txt"
}

hd=(--video 1920x1080 --video-mbps 50)
bench_card contiguous "small recordings lying whole, 256x144" --scenario contiguous
bench_card contiguous-1080p "recordings lying whole, 1080p at 50 Mbit/s" --scenario video-1080p
bench_card reformatted "reformatted, random free space, 1080p" --scenario reformatted "${hd[@]}" --size-mib 128
bench_card fragmented "every recording in three extents out of order, 1080p" --count 3 --frames 48 --fragment 3 \
    --random-free "${hd[@]}" --size-mib 96
# the engine looks for a chunk within 16 MiB of the kkad box that describes it; here one chunk at
# a cut lies farther from it
bench_card fragmented-far "one recording in three extents out of order, farther apart than 16 MiB, 1080p" \
    --scenario fragmented "${hd[@]}" --size-mib 128
bench_card hevc "one HEVC recording among AVC ones, 256x144" --scenario hevc
# eight recordings of 72 s fill most of a 4 GiB card at 50 Mbit/s
big_count=$(( big_mib / 512 ))
bench_card big-1080p "$big_count recordings of 72 s, 1080p at 50 Mbit/s, random free space" --count "$big_count" \
    --frames 1800 --size-mib "$big_mib" --random-free "${hd[@]}"

python3 "$here/score.py" --report "$tsv" "$root/bench/RESULTS.md"
{
    echo
    echo "## big-1080p, interleaved"
    echo
    echo "Three rounds of \`cat\`, PhotoRec and the engine without the validator, one after the other,"
    echo "each from a cold cache; the median of each tool's ratios to the \`cat\` of its round."
    echo
    echo '```'
    cat "$data/interleaved.txt"
    echo '```'
} >>"$root/bench/RESULTS.md"
# the tables of bench/big/run.sh close the file, as that script left them
ls "$root"/bench/big/RESULTS-*.md >/dev/null 2>&1 &&
    python3 "$root/bench/big/summary.py" "$root/bench/RESULTS.md" "$root"/bench/big/RESULTS-*.md
echo "wrote $root/bench/RESULTS.md" >&2
