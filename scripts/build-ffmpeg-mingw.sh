#!/usr/bin/env bash
# Builds a minimal static FFmpeg (libavcodec with the H.264 and HEVC decoders and parsers, and
# libavutil) for Windows x64 with mingw-w64, from Debian's FFmpeg source package (fetched by
# fetch-ffmpeg-source.sh), with Windows threads so that the validator decodes on every core. The
# result lives in a cache folder outside the clone, keyed by the FFmpeg version and the
# configuration, and is reused while its stamp file is there.
# Prints the install prefix on its last line; "--configure-options" prints only the options given to
# FFmpeg's configure, one a line (the Windows package states them beside the source).
set -euo pipefail
cache="${XDG_CACHE_HOME:-$HOME/.cache}/mendora"
jobs="${MENDORA_JOBS:-2}"

# the same FFmpeg release as the Linux build links
version=$(dpkg-query -W -f='${Version}' libavcodec-dev 2>/dev/null || true)
[ -n "$version" ] || version=$(apt-cache policy libavcodec-dev | awk '/Candidate:/ {print $2}')
upstream=${version#*:}

cross=x86_64-w64-mingw32
config=(
  --target-os=mingw32 --arch=x86_64 --enable-cross-compile
  --cross-prefix=$cross- --cc=$cross-gcc-posix --cxx=$cross-g++-posix
  --pkg-config=pkg-config
  --enable-static --disable-shared --disable-programs --disable-doc --disable-debug
  --disable-autodetect --disable-network --disable-everything
  --disable-avdevice --disable-avformat --disable-avfilter --disable-swscale --disable-swresample
  --disable-postproc --disable-pthreads --enable-w32threads --disable-os2threads
  --enable-decoder=h264,hevc --enable-parser=h264,hevc
)
if [ "${1:-}" = "--configure-options" ]; then
  printf '%s\n' "${config[@]}"
  exit 0
fi
hash=$(printf '%s\n' "$upstream" "${config[@]}" | sha256sum | cut -c1-12)
prefix="$cache/ffmpeg-mingw-$upstream-$hash"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

# the source package, fetched once into the cache (the Windows package ships it too)
source_files=$(bash "$(dirname "$0")/fetch-ffmpeg-source.sh" | tail -n 1)
work="$prefix.work"
rm -rf "$work" "$prefix"
mkdir -p "$work"
# apt checked every file against the signed index when it fetched them
dpkg-source --no-check -x "$(ls "$source_files"/ffmpeg_*.dsc | head -n 1)" "$work/src" >/dev/null
src="$work/src"

mkdir -p "$work/build"
cd "$work/build"
"$src/configure" --prefix="$prefix" "${config[@]}" >configure.log
make -j"$jobs" >make.log 2>&1
make install >/dev/null
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
