#!/usr/bin/env bash
# Builds what is stale and runs every test: unit tests, sanitizer tests and end-to-end tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" "$@"
