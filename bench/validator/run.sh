#!/bin/sh
# Decode-check throughput at camera resolution: the validator library with one thread, with every
# core, and ffmpeg on the same recording.
#   bench/validator/run.sh [BUILD_DIR] [WORK_DIR] [SECONDS]
# Encodes a 1920x1080 H.264 recording of SECONDS seconds (default 10) at 25 frames a second and
# about 50 Mbit/s, in long groups of pictures with B-frames as the camera writes them, once as an
# elementary stream for the library and once in an MP4 for ffmpeg. Then takes the best of three
# runs of each and prints frames per second and the ratios. Goals: every core >= 0.8x
# `ffmpeg -threads 0 -i REC -f null -`, and >= 1.7x one thread on 2 cores. The machine may be
# shared with other work: the best of three is the figure to quote. Everything made is deleted.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
workdir=${2:-${TMPDIR:-/tmp}}
seconds=${3:-10}
root=$(mktemp -d "$workdir/validator_bench_XXXXXX")
trap 'rm -rf "$root"' EXIT

[ -x "$build/validator_bench" ] || { echo "no $build/validator_bench" >&2; exit 1; }
lib="$build/VeltoXAVCValidate.so"
frames=$((seconds * 25))
# moving test picture with grain, so that the slices carry a camera's bitrate
ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
    -vf "noise=alls=12:allf=t" -frames:v "$frames" -c:v libx264 -preset veryfast -b:v 50M \
    -maxrate 50M -bufsize 25M -g 12 -bf 2 -pix_fmt yuv420p -x264-params aud=1 -f h264 "$root/rec.h264"
ffmpeg -nostdin -loglevel error -f h264 -r 25 -i "$root/rec.h264" -c copy "$root/rec.mp4"
mbit=$(stat -c %s "$root/rec.h264" | awk -v s="$seconds" '{ printf "%.0f", $1 * 8 / s / 1e6 }')

# best_of CMD...: the shortest of three decode times in seconds; CMD prints "FRAMES SECONDS"
best_of() {
    best=""
    for _ in 1 2 3; do
        t=$("$@" | awk '{ print $2 }')
        best=$(awk -v t="$t" -v best="$best" 'BEGIN { if (best == "" || t < best + 0) best = t; printf "%.4f", best }')
    done
    echo "$best"
}
# library THREADS: with the given thread count, or as the engine runs it when THREADS is "all"
library() {
    if [ "$1" = all ]; then
        env -u MENDORA_VALIDATOR_THREADS "$build/validator_bench" "$lib" "$root/rec.h264"
    else
        MENDORA_VALIDATOR_THREADS=$1 "$build/validator_bench" "$lib" "$root/rec.h264"
    fi
}
# ffmpeg's own decode loop time from -benchmark, without its start-up
ffmpeg_null() {
    ffmpeg -nostdin -benchmark -threads 0 -i "$root/rec.mp4" -f null - 2>&1 |
        awk -v n="$frames" '/bench:.*rtime=/ { sub(/.*rtime=/, ""); sub(/s.*/, ""); print n, $0 }'
}

cores=$(nproc)
t_one=$(best_of library 1)
t_all=$(best_of library all)
t_ffmpeg=$(best_of ffmpeg_null)
echo "1920x1080, $frames frames, $mbit Mbit/s, $cores cores (best of 3; the machine may be shared)"
awk -v n="$frames" -v one="$t_one" -v all="$t_all" -v ff="$t_ffmpeg" -v c="$cores" 'BEGIN {
    printf "%-44s %8.1f frames/s\n", "validator, 1 thread", n / one
    printf "%-44s %8.1f frames/s\n", "validator, " c " threads", n / all
    printf "%-44s %8.1f frames/s\n", "ffmpeg -threads 0 -f null", n / ff
    printf "%-44s %8.2fx (goal >= 0.8)\n", "validator every core / ffmpeg", ff / all
    printf "%-44s %8.2fx (goal >= 1.7 on 2 cores)\n", "validator every core / one thread", one / all
}'
