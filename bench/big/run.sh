#!/usr/bin/env bash
# Cards larger than memory: `cat`, the engine, the floor and PhotoRec on the same card, from a
# cold cache, with what each read from the device.
#   bench/big/run.sh [BUILD_DIR] [DATA_DIR] [SIZE_MIB] [CAP_MIB] [ROUNDS]
# Makes two cards of SIZE_MIB (default 32768, more than this machine's 24 GiB of memory) full of
# recordings of FRAMES frames (default 3000: 120 s) at 1920x1080 and 100 Mbit/s with random free
# space: one whose recordings lie
# whole, one whose recordings lie in three extents out of order (the generator's wall time and
# peak memory are reported). On each, ROUNDS (default 3) interleaved rounds of: `cat` of the card;
# the engine `--recover-all --no-validator`; the floor, one read of the card that writes as many
# bytes as the engine wrote in that round (bench/big/floor.py); PhotoRec set to MP4/MOV. Every run
# starts from a cold cache inside a memory cgroup capped at CAP_MIB (default 768; 0 for none), so
# the small variant, e.g. `bench/big/run.sh build /work/bench-data/big 4096`, shows on any card
# what a card larger than memory shows. Needs root (the cgroup); installs PhotoRec through
# scripts/install-deps.sh peers. REFERENCE=/path/to/mendora adds another engine build's run;
# NO_SALVAGE=1 adds a run of the engine with --no-salvage, which writes no report and so hashes
# nothing: what the report's hashes cost;
# VARIANTS="whole" (or "fragmented", whose table then goes to a file of its own) makes only that
# card. VIDEO=WxH (default 1920x1080), MBPS=N (default 100; 0 for the encoder's own quality) and
# COUNT=N (default: as many as fill nine tenths of the card) make other cards, e.g. the dense
# low-bitrate card: VIDEO=256x144 MBPS=0 COUNT=16 FRAMES=7008, or the cached 1080p card: MBPS=50
# COUNT=8 FRAMES=1800 with SIZE_MIB 4096 and CAP 0. Cards and outputs go under DATA_DIR (default
# /work/bench-data/big) and are deleted at the end; the tables go to
# bench/big/RESULTS-<SIZE_MIB>MiB[-<kind>][-cap<CAP_MIB>][-fragmented].md, and those of every size
# to the last section of bench/RESULTS.md. A disk without room for the card and one tool's outputs
# stops the run before it starts.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
data=${2:-/work/bench-data/big}
size_mib=${3:-32768}
cap_mib=${4:-768}
rounds=${5:-3}
frames=${FRAMES:-3000}
video=${VIDEO:-1920x1080}
mbps=${MBPS:-100}
bash "$root/scripts/install-deps.sh" peers
[ -x "$build/mendora" ] && [ -x "$build/mendora-mkcard" ] || { echo "build $build first" >&2; exit 1; }
mkdir -p "$data"
data=$(cd "$data" && pwd)
# the card and one tool's outputs, at most the card's size again, lie on the disk together
free_mib=$(( $(df -Pk "$data" | awk 'NR == 2 {print $4}') / 1024 ))
[ "$free_mib" -gt $(( size_mib * 2 + 1024 )) ] ||
    { echo "$data has $free_mib MiB free; a card of $size_mib MiB and its outputs need $(( size_mib * 2 + 1024 ))" >&2; exit 1; }
trap 'rm -rf "$data/card" "$data/probe" "$data/runs"' EXIT
kind=$video$([ "$mbps" = 0 ] || echo "-${mbps}mbps")
[ "$kind" = 1920x1080-100mbps ] && kind=
# the card in extents alone gets a file of its own, beside that of both cards or the whole one
results="$here/RESULTS-${size_mib}MiB${kind:+-$kind}$([ "$cap_mib" = 0 ] || echo "-cap$cap_mib")$(
    [ "${VARIANTS:-}" != fragmented ] || echo -fragmented).md"
hd=(--video "$video" --random-free --truth-only)
[ "$mbps" = 0 ] || hd+=(--video-mbps "$mbps")
quality=$([ "$mbps" = 0 ] && echo "the encoder's own quality" || echo "$mbps Mbit/s")

# the size of one recording, from a card of one 12 s recording (sizes grow with the frames)
rm -rf "$data/probe"
"$build/mendora-mkcard" --out "$data/probe" --count 1 --frames 300 --size-mib 256 "${hd[@]}" >/dev/null
rec_mib=$(python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['recordings'][0]['size'] * $frames // 300 // 2**20 + 1)" \
    "$data/probe/truth.json")
count=${COUNT:-$(( size_mib * 9 / 10 / rec_mib ))}
[ "$count" -ge 1 ] || { echo "a recording of $frames frames ($rec_mib MiB) does not fit $size_mib MiB" >&2; exit 1; }
# every recording's piece of video encoded once beforehand, so the generator's figures are its own
rm -rf "$data/probe"
"$build/mendora-mkcard" --out "$data/probe" --count "$count" --frames 24 --size-mib $(( count * 16 + 64 )) \
    "${hd[@]}" >/dev/null
rm -rf "$data/probe"

{
    echo "# A card of $size_mib MiB${kind:+ ($video, $quality)}$([ "$cap_mib" = 0 ] || echo ", memory capped at $cap_mib MiB")"
    echo
    echo "Written by \`bench/big/run.sh\`; do not edit by hand. Cards of $size_mib MiB, $count recordings of"
    echo "$frames frames at $video, $quality, random free space between. Every run starts from a cold cache"
    if [ "$cap_mib" != 0 ]; then
        echo "inside a memory cgroup capped at $cap_mib MiB: the page cache cannot hold the card."
    elif [ $(( size_mib * 1024 )) -gt "$(awk '/MemTotal/ {print $2}' /proc/meminfo)" ]; then
        echo "with no memory cap, on a card larger than memory: the page cache cannot hold the card."
    else
        echo "with no memory cap: the page cache can hold the card once it has been read."
    fi
    echo "*read/img*: bytes the device delivered to the tool"
    echo "(\`read_bytes\` of /proc/PID/io) over the card's size; *rchar/img*: bytes it asked of any file"
    echo "through its read calls over the card's size; *wrote*: bytes it left in its output folder;"
    echo "*floor*: one read of the card writing as many bytes as the engine wrote in the same round."
    echo "Machine: $(nproc) cores, $(( $(awk '/MemTotal/ {print $2}' /proc/meminfo) / 1024 )) MiB of memory."
} >"$results"

for variant in ${VARIANTS:-whole fragmented}; do
    rm -rf "$data/card" "$data/runs"
    mkdir -p "$data/runs"
    extra=()
    [ "$variant" = fragmented ] && extra=(--fragment 3)
    /usr/bin/time -v -o "$data/mkcard.time" "$build/mendora-mkcard" --out "$data/card" --count "$count" \
        --frames "$frames" --size-mib "$size_mib" "${hd[@]}" "${extra[@]}" >/dev/null
    img="$data/card/card.img"
    made=$(awk -f "$here/../time_v.awk" "$data/mkcard.time")
    before=$(stat -c '%s %Y' "$img")
    cmds=(-- cat cat "$img"
          -- mendora "$build/mendora" "$img" --work-dir @WORK@ -o @WORK@/out --recover-all --no-validator
             --no-progress
          -- floor python3 "$here/floor.py" "$img" @OUT:mendora@ @WORK@/floor.bin)
    [ -n "${REFERENCE:-}" ] && cmds+=(-- mendora-reference "$REFERENCE" "$img" --work-dir @WORK@ -o @WORK@/out
        --recover-all --no-validator --no-progress)
    [ -n "${NO_SALVAGE:-}" ] && cmds+=(-- mendora-no-salvage "$build/mendora" "$img" --work-dir @WORK@
        -o @WORK@/out --recover-all --no-validator --no-progress --no-salvage)
    cmds+=(-- photorec photorec /log /d @WORK@/recup /cmd "$img"
           partition_none,fileopt,everything,disable,mov,enable,search)
    python3 "$here/measure.py" --evict "$img" --rounds "$rounds" --cap-mib "$cap_mib" --work-root "$data/runs" \
        "${cmds[@]}" >"$data/table.txt"
    [ "$(stat -c '%s %Y' "$img")" = "$before" ] || { echo "the card image changed" >&2; exit 1; }
    {
        echo
        echo "### recordings $([ "$variant" = whole ] && echo "lying whole" || echo "in three extents out of order")"
        echo
        echo "Generator: $(set -- $made; echo "$1 s, peak $2 MiB") for the card and its truth.json."
        echo
        echo '```'
        cat "$data/table.txt"
        echo '```'
    } >>"$results"
    cat "$data/table.txt" >&2
done

# the tables of every size close bench/RESULTS.md, replacing those of an earlier run
summary="$root/bench/RESULTS.md"
python3 "$here/summary.py" "$summary" "$here"/RESULTS-*.md
echo "wrote $results and the last section of $summary" >&2
