#!/usr/bin/env bash
# Fetches Debian's FFmpeg source package (the .dsc, the upstream tarball and the Debian tarball) of
# the release the Linux build links, once, into a cache folder outside the clone: the Windows
# validator DLL is built from it, and the Windows package ships it beside the program for the LGPL.
# The source comes through a private apt configuration with source entries, so the machine's own
# apt set-up stays as it is. Prints the folder that holds the files on its last line.
set -euo pipefail
cache="${XDG_CACHE_HOME:-$HOME/.cache}/mendora"

version=$(dpkg-query -W -f='${Version}' libavcodec-dev 2>/dev/null || true)
[ -n "$version" ] || version=$(apt-cache policy libavcodec-dev | awk '/Candidate:/ {print $2}')
upstream=${version#*:}
folder="$cache/ffmpeg-source-$upstream"
if [ -f "$folder/.complete" ]; then
  echo "$folder"
  exit 0
fi

work="$folder.work"
rm -rf "$work" "$folder"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/state" "$work/apt/parts" \
  "$work/files"
cat >"$work/apt/sources.list" <<'LIST'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
LIST
apt_opts=(
  -o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/parts"
  -o "Dir::State=$work/apt/state" -o "Dir::State::Lists=$work/apt/lists"
  -o "Dir::Cache=$work/apt/cache" -o "Dir::State::status=/var/lib/dpkg/status"
  -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1"
)
apt-get "${apt_opts[@]}" update -qq
# apt checks every file against the signed index before it keeps it
(cd "$work/files" && apt-get "${apt_opts[@]}" source --download-only -qq "ffmpeg=$version" >/dev/null)
ls "$work/files"/ffmpeg_*.dsc >/dev/null
mv "$work/files" "$folder"
touch "$folder/.complete"
rm -rf "$work"
echo "$folder"
