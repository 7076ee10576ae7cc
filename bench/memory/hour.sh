#!/bin/sh
# Peak memory on a card of one 60-minute 1080p recording.
#   bench/memory/hour.sh [BUILD_DIR] [IMAGE_DIR] [MBPS] [CARD_DIR]
# Makes the card with mendora-mkcard: 90,000 frames (60 minutes at 25 frames a second) of
# 1920x1080 at MBPS Mbit/s (default 10), with the 64-bit mdat and co64 tables that more than
# 4 GiB of media data needs. At 10 Mbit/s the recording is 4.4 GiB and the card 5 GiB; the
# generator's expected file and the recovered clip take as much again, and the generator holds
# the recording in memory (about 14 GiB). A camera's 50 Mbit/s would make every one of them five
# times as large. The engine's memory follows the number of samples and chunks, not their size:
# its read buffers hold one chunk or one search window.
# Then one run each of --analysis-only and --recover-all (validator on) under /usr/bin/time -v:
# peak resident memory (goal <= 160 MiB for both) and wall time. The recovered clip must equal
# the generator's expected file byte for byte, and the image must not change. Prints the results
# and writes them to bench/memory/RESULTS-hour.md. Everything made is deleted at the end; a card
# made before by the same command can be given as CARD_DIR (it is kept; its reference recordings
# may be gone).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
imgdir=${2:-${TMPDIR:-/tmp}}
mbps=${3:-10}
root=$(mktemp -d "$imgdir/hour_bench_XXXXXX")
trap 'rm -rf "$root"' EXIT

[ -x "$build/mendora" ] && [ -x "$build/mendora-mkcard" ] || { echo "build $build first" >&2; exit 1; }
card=${4:-$root/card}
if [ -z "${4:-}" ]; then
    "$build/mendora-mkcard" --out "$card" --count 1 --frames 90000 --video 1920x1080 --video-mbps "$mbps" \
        --mdat64 --co64 --size-mib $(( 1024 + mbps * 440 )) >/dev/null
    # only the expected clip is compared
    rm -rf "$card/recordings" "$card/expected_keep"
fi
img="$card/card.img"
before=$(sha256sum < "$img")

# measure NAME ENGINE_OPTIONS...: one run with a fresh working folder
measure() {
    name=$1
    shift
    rm -rf "$root/work" "$root/out"
    mkdir "$root/work" "$root/out"
    /usr/bin/time -v -o "$root/time.txt" "$build/mendora" "$img" --work-dir "$root/work" -o "$root/out" \
        --no-progress "$@" >"$root/run.log"
    awk -f "$here/../time_v.awk" "$root/time.txt" |
        awk -v n="$name" '{ printf "%-36s %9.2f s   peak %7.1f MiB\n", n, $1, $2 }'
}

{
    echo "# Peak memory on a card of one 60-minute 1080p recording"
    echo
    echo "Written by \`bench/memory/hour.sh\`; do not edit by hand. $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores."
    echo
    echo '```'
    echo "card: $(du -b "$img" | cut -f1) bytes, one recording of 90000 frames, 1920x1080 at $mbps Mbit/s"
    measure "--analysis-only (goal <= 160 MiB)" --analysis-only
    measure "--recover-all (goal <= 160 MiB)" --recover-all
    grep "videos written" "$root/run.log"
    expected=$(ls "$card/expected")
    if cmp -s "$card/expected/$expected" "$root/out/$expected"; then
        echo "the clip equals the recording byte for byte, sound included"
    else
        echo "THE CLIP DIFFERS FROM THE RECORDING"
    fi
    echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo '```'
} | tee "$here/RESULTS-hour.md"
[ "$(sha256sum < "$img")" = "$before" ] || { echo "SOURCE IMAGE CHANGED" >&2; exit 1; }
echo "source image unchanged"
