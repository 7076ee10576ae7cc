#!/usr/bin/env bash
# Builds (or brings up to date) build-asan/: the whole project and its tests built with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, with the libFuzzer harnesses of fuzz/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DMENDORA_SANITIZE=ON -DMENDORA_FUZZ=ON \
      -DMENDORA_READ_CACHE="$root/build/read-cache" -DMENDORA_CARD_MAKER="$root/build/mendora-mkcard" >/dev/null
cmake --build "$root/build-asan" -j "$(nproc)"
