#!/usr/bin/env bash
# Builds what is stale, the Windows program included, makes the packages of dist/ (package.sh), and
# runs every test: unit and end-to-end tests in build/, the Windows program's tests under Wine
# (label "wine"), the packages installed and unzipped as a user would (label "package"), then the
# same unit and end-to-end tests once more in build-asan/ under AddressSanitizer and
# UndefinedBehaviorSanitizer, with a short run of every fuzz harness (label "fuzz").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# the Windows build first, so that configuring build/ finds it and registers the Wine tests
bash "$root/scripts/build-windows.sh"
bash "$root/scripts/package.sh"
bash "$root/scripts/build.sh"
bash "$root/scripts/build-asan.sh"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" "$@"
cd "$root/build-asan"
ctest --output-on-failure -j "$(nproc)" "$@"
