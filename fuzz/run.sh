#!/usr/bin/env bash
# fuzz/run.sh NAME SECONDS: runs the harness build-asan/fuzz_NAME for SECONDS on one core, growing
# its corpus in build-asan/fuzz-corpus/NAME from the seeds; a crash input lands in
# build-asan/fuzz-crashes/NAME/.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 NAME SECONDS" >&2; exit 2; }
build=$(cd "$(dirname "$0")/.." && pwd)/build-asan
harness=$build/fuzz_$1
[ -x "$harness" ] || { echo "no harness $harness (bash scripts/build.sh builds it)" >&2; exit 2; }
[ -d "$build/fuzz-seeds/$1" ] || python3 "$(dirname "$0")/make_corpus.py" "$build"
mkdir -p "$build/fuzz-corpus/$1" "$build/fuzz-crashes/$1"
exec "$harness" -max_total_time="$2" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-crashes/$1/" "$build/fuzz-corpus/$1" "$build/fuzz-seeds/$1"
