#!/usr/bin/env bash
# fuzz/run.sh NAME SECONDS: runs the harness build-asan/fuzz_NAME for SECONDS on one core, growing
# its corpus in build-asan/fuzz-corpus/NAME from the seeds; a crash input lands in
# build-asan/fuzz-crashes/NAME/.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 NAME SECONDS" >&2; exit 2; }
build=$(cd "$(dirname "$0")/.." && pwd)/build-asan
harness=$build/fuzz_$1
[ -x "$harness" ] || { echo "no harness $harness (bash scripts/build-asan.sh builds it)" >&2; exit 2; }
[ -d "$build/fuzz-seeds/$1" ] || python3 "$(dirname "$0")/make_corpus.py" "$build"
mkdir -p "$build/fuzz-corpus/$1" "$build/fuzz-crashes/$1"
# A count field may ask for a table of hundreds of MiB that the engine fills within its limits;
# one such input costs a second, so allocations above 128 MiB end that input (in a child of the one
# fork job) and the run goes on, as it does past an input that hangs (kept as timeout-*). A crash
# ends the run.
exec "$harness" -fork=1 -ignore_ooms=1 -malloc_limit_mb=128 -rss_limit_mb=2048 -timeout=20 \
    -max_total_time="$2" -artifact_prefix="$build/fuzz-crashes/$1/" "$build/fuzz-corpus/$1" "$build/fuzz-seeds/$1"
