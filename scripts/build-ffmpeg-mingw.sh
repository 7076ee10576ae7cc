#!/usr/bin/env bash
# Builds a minimal static FFmpeg (libavcodec with the H.264 and HEVC decoders and parsers, and
# libavutil) for Windows x64 with mingw-w64, from Debian's FFmpeg source package, with Windows
# threads so that the validator decodes on every core. The source comes through a private apt
# configuration with source entries, so the machine's own apt set-up stays as it is. The result
# lives in a cache folder outside the clone, keyed by the FFmpeg version and the configuration,
# and is reused while its stamp file is there.
# Prints the install prefix on its last line.
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
hash=$(printf '%s\n' "$upstream" "${config[@]}" | sha256sum | cut -c1-12)
prefix="$cache/ffmpeg-mingw-$upstream-$hash"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work="$prefix.work"
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/state" \
  "$work/apt/parts" "$work/src"
cat >"$work/apt/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
EOF
apt_opts=(
  -o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/parts"
  -o "Dir::State=$work/apt/state" -o "Dir::State::Lists=$work/apt/lists"
  -o "Dir::Cache=$work/apt/cache" -o "Dir::State::status=/var/lib/dpkg/status"
  -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1"
)
apt-get "${apt_opts[@]}" update -qq
(cd "$work/src" && apt-get "${apt_opts[@]}" source -qq "ffmpeg=$version" >/dev/null)
src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg-*' | head -n 1)

mkdir -p "$work/build"
cd "$work/build"
"$src/configure" --prefix="$prefix" "${config[@]}" >configure.log
make -j"$jobs" >make.log 2>&1
make install >/dev/null
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
