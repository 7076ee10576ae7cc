#!/usr/bin/env bash
# Installs what is missing, builds the minimal FFmpeg for Windows once (cached outside the clone),
# then builds (or brings up to date) build-win/ at the repository root: mendora.exe and
# VeltoXAVCValidate.dll side by side, and the stand-in DLLs the loader tests use.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" windows
ffmpeg_prefix=$(bash "$root/scripts/build-ffmpeg-mingw.sh" | tail -n 1)
cmake -S "$root" -B "$root/build-win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DMENDORA_FFMPEG_PREFIX="$ffmpeg_prefix" >/dev/null
cmake --build "$root/build-win" -j "$(nproc)"
