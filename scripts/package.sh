#!/usr/bin/env bash
# Builds the packages people install, into dist/ at the repository root:
#   mendora_<version>_amd64.deb                the engine and its validator in /usr/lib/mendora (with
#                                              a link in /usr/bin), mendora-mkcard, manual pages
#   mendora-<version>-win64.zip                mendora.exe, VeltoXAVCValidate.dll, README.txt and
#                                              the licence texts, to unzip into any folder
#   mendora-<version>-win64-ffmpeg-source.zip  the FFmpeg source inside the DLL, how it was
#                                              configured, and the validator's source to relink it
# The version is the one of the project() line of the top CMakeLists.txt. The Linux programs are
# built once more in build-deb/ with Debian's hardening flags; the Windows ones are build-win/'s
# (only the program and its validator: none of the test build's stand-ins).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
bash scripts/install-deps.sh package
bash scripts/build-windows.sh >/dev/null
ffmpeg_source=$(bash scripts/fetch-ffmpeg-source.sh | tail -n 1)

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
cmake -S "$root" -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_RPATH=ON \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build build-deb -j "$(nproc)" --target mendora VeltoXAVCValidate mendora-mkcard >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-deb/CMakeCache.txt)
ffmpeg_dsc=$(ls "$ffmpeg_source"/ffmpeg_*.dsc | head -n 1)
ffmpeg_package=$(basename "$ffmpeg_dsc" .dsc | sed 's/^ffmpeg_//')
ffmpeg_upstream=${ffmpeg_package%%-*}
# every file gets the time of the last commit, so that the same sources give the same packages
export SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
release_date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
fill() {
  sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$release_date/g" -e "s/@FFMPEG_VERSION@/$ffmpeg_upstream/g" \
      -e "s/@FFMPEG_PACKAGE@/$ffmpeg_package/g" "$@"
}
crlf() { sed 's/\r*$/\r/' "$@"; }
settle() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

stage=build-deb/stage
rm -rf "$stage" dist
mkdir -p "$stage" dist

# --- the Debian package
pkg="$stage/debian/mendora"
install -d -m 755 "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/lib/mendora" "$pkg/usr/share/man/man1" \
  "$pkg/usr/share/doc/mendora"
install -m 755 build-deb/mendora "$pkg/usr/lib/mendora/mendora"
install -m 644 build-deb/VeltoXAVCValidate.so "$pkg/usr/lib/mendora/VeltoXAVCValidate.so"
install -m 755 build-deb/mendora-mkcard "$pkg/usr/bin/mendora-mkcard"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$pkg/usr/lib/mendora/"* \
  "$pkg/usr/bin/mendora-mkcard"
# the engine loads its validator from the folder of its own file, which a link does not change
ln -s ../lib/mendora/mendora "$pkg/usr/bin/mendora"
for page in mendora mendora-mkcard; do
  fill "packaging/man/$page.1" | gzip -9n >"$pkg/usr/share/man/man1/$page.1.gz"
done
install -m 644 packaging/debian/copyright "$pkg/usr/share/doc/mendora/copyright"
{
  printf 'mendora (%s) unstable; urgency=medium\n\n  * Release %s.\n\n' "$version" "$version"
  printf ' -- Mendora Recovery project <support@mendora-recovery.example>  %s\n' \
    "$(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$pkg/usr/share/doc/mendora/changelog.gz"
chmod 644 "$pkg/usr/share/man/man1/"* "$pkg/usr/share/doc/mendora/changelog.gz"

# dependencies from the libraries the programs link (the validator is loaded, not linked)
printf 'Source: mendora\n\nPackage: mendora\nArchitecture: amd64\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O debian/mendora/usr/lib/mendora/mendora \
  debian/mendora/usr/lib/mendora/VeltoXAVCValidate.so debian/mendora/usr/bin/mendora-mkcard 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }
installed_size=$(du -s -k --apparent-size --exclude=DEBIAN "$pkg" | cut -f1)
fill packaging/debian/control.in | sed -e "s/@INSTALLED_SIZE@/$installed_size/" -e "s/@DEPENDS@/$depends/" \
  >"$pkg/DEBIAN/control"
(cd "$pkg" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
chmod 644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
settle "$pkg"
deb="dist/mendora_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
lintian --fail-on error "$deb"

# --- the Windows zip: its README.txt names every file in it
win="$stage/win64"
mkdir -p "$win"
install -m 644 build-win/mendora.exe build-win/VeltoXAVCValidate.dll "$win/"
fill packaging/windows/README.txt | crlf >"$win/README.txt"
tar -xJOf "$ffmpeg_source/ffmpeg_$ffmpeg_upstream.orig.tar.xz" "ffmpeg-$ffmpeg_upstream/COPYING.LGPLv2.1" |
  crlf >"$win/LICENSE-FFmpeg.txt"
crlf /usr/share/doc/mingw-w64-common/copyright >"$win/LICENSE-mingw-w64.txt"
settle "$win"
(cd "$win" && LC_ALL=C ls | TZ=UTC zip -X -q "$root/dist/mendora-$version-win64.zip" -@)

# --- the FFmpeg source, its configuration and the validator's source, for the LGPL
src="$stage/ffmpeg-source"
mkdir -p "$src/scripts" "$src/validator/library" "$src/basics"
cp "$ffmpeg_source"/ffmpeg_* "$src/"
tar -xJOf "$ffmpeg_source/ffmpeg_$ffmpeg_upstream.orig.tar.xz" "ffmpeg-$ffmpeg_upstream/COPYING.LGPLv2.1" \
  >"$src/COPYING.LGPLv2.1"
bash scripts/build-ffmpeg-mingw.sh --configure-options >"$src/configure-options.txt"
cp scripts/fetch-ffmpeg-source.sh scripts/build-ffmpeg-mingw.sh "$src/scripts/"
cp validator/library/velto_validate.cpp validator/library/velto_validate.h "$src/validator/library/"
cp validator/validator_api.h "$src/validator/"
cp basics/byte_order.h "$src/basics/"
fill packaging/windows/FFMPEG-SOURCE.txt >"$src/README.txt"
chmod -R u=rwX,go=rX "$src"
settle "$src"
(cd "$src" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
  TZ=UTC zip -X -q "$root/dist/mendora-$version-win64-ffmpeg-source.zip" -@)

ls -l dist
