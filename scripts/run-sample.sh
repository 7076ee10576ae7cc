#!/usr/bin/env bash
# The main job on the built-in sample: build, make a sample card image, recover its clips.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
sample="$root/sample"
rm -rf "$sample"
mkdir -p "$sample/work"
"$root/build/mendora-mkcard" --scenario sample --out "$sample/card" >/dev/null
"$root/build/mendora" "$sample/card/card.img" --work-dir "$sample/work" -o "$sample/recovered" --recover-all
echo
echo "Sample card image : $sample/card/card.img"
echo "Recovered clips   : $sample/recovered"
ls -l "$sample/recovered"
