#!/bin/sh
# Builds the bench in BUILD_DIR (default build-bench), makes a card image of 100 recordings of
# 201 chunks each (20,100 kkad boxes) and times stages 3-5 against the raw scan. The video
# samples are tiny by default (200-599 bytes: about 490 MiB, one kkad box every 24 KiB, far
# denser than a camera card); SAMPLE_BYTES=20000 gives about 5 GiB with a box every 260 KiB.
set -e
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
image=${BENCH_IMAGE:-${TMPDIR:-/tmp}/mendora_analysis_bench.dsk}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target analysis_bench -j2 >/dev/null
"$build/analysis_bench" make "$image" 100 201 "${SAMPLE_BYTES:-200}"
"$build/analysis_bench" run "$image"
rm -f "$image"
