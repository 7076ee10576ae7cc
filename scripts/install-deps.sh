#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are present.
# "install-deps.sh windows" installs what the Windows cross build and its Wine tests need instead;
# "install-deps.sh peers" the recovery tools bench/peers/run.sh compares the engine with;
# "install-deps.sh package" what scripts/package.sh needs beside the two builds.
set -euo pipefail
case "${1:-linux}" in
  linux) pkgs=(build-essential cmake pkg-config libgtest-dev libavcodec-dev libavutil-dev ffmpeg exfatprogs python3 strace
         fuse3 python3-fusepy gddrescue
         clang libclang-rt-dev chromium) ;;
  windows) pkgs=(cmake pkg-config make g++-mingw-w64-x86-64-posix nasm dpkg-dev xz-utils wine wine64 imagemagick
           xvfb xdotool tmux) ;;
  package) pkgs=(dpkg-dev lintian man-db zip xz-utils mingw-w64-common) ;;
  peers) pkgs=(testdisk foremost scalpel time ffmpeg exfatprogs python3) ;;
  *) echo "usage: $0 [linux|windows|package|peers]" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
export DEBIAN_FRONTEND=noninteractive
# an install that was stopped half way leaves dpkg waiting to be finished before any other
dpkg --configure -a >/dev/null 2>&1 || true
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
