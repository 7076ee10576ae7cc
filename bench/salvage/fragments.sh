#!/usr/bin/env bash
# Per card of two recordings written at once (their clusters alternating in runs) and a third
# after them: runs, chunks cut by run boundaries, cuts joined, recordings whole and video samples
# kept of those on the card. Uses build/ at the repository root (or MENDORA_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export MENDORA_BUILD_DIR=${MENDORA_BUILD_DIR:-$root/build}
exec python3 "$root/tests/e2e/test_salvage.py" --fragments
