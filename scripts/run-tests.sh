#!/usr/bin/env bash
# Builds what is stale, the Windows program included, and runs every test: unit tests, sanitizer
# tests, end-to-end tests and the Windows program's tests under Wine (label "wine").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# the Windows build first, so that configuring build/ finds it and registers the Wine tests
bash "$root/scripts/build-windows.sh"
bash "$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" "$@"
