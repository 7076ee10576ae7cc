#!/usr/bin/env bash
# The salvage table of every scenario card: recordings, written by the documented rules,
# salvaged, and video samples kept / keepable / on the card. Uses build/ at the repository root
# (or MENDORA_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export MENDORA_BUILD_DIR=${MENDORA_BUILD_DIR:-$root/build}
exec python3 "$root/tests/e2e/test_salvage.py" --table
