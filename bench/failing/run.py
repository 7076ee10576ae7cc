"""Failing cards (as root): generated cards shown through a FUSE mount that fails reads in three
seeded unreadable spans each (tests/e2e/failing_card.py), recovered by the engine and by PhotoRec
from the same mount, against the engine's run on the healthy card.

    python3 bench/failing/run.py [BUILD_DIR] [--cards N] [--seed S] [--delay SECONDS]

Per card: the spans, the failed reads the mount answered while the engine ran, the recordings the
engine gives back whole (video samples identical to the camera's), salvaged or with silenced sound,
and lost, and the frames each tool's files decode to (ffprobe -count_frames over files that ffmpeg
decodes without an error), against the healthy run's. Prints a Markdown table."""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(here, "..", "peers"))
from failing_card import FailingMount, fuse_usable  # noqa: E402
import mp4_reader  # noqa: E402
import score  # noqa: E402

STREAMS = [[], ["--bframes", "2"], ["--hevc"], ["--bframes", "3", "--gop", "24"], ["--params-out-of-band"], []]
SIZES = [512, 4096, 16384, 65536]


def frames(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=nb_read_frames", "-of", "csv=p=0", path], capture_output=True, text=True)
    try:
        return int(done.stdout.strip().split(",")[0])
    except ValueError:
        return 0


def tally(out_dir, originals, verdicts):
    """Frames of the files that decode cleanly, and the recordings among `originals` (video digest
    by recording name) some file gives back identical."""
    total, whole = 0, set()
    for path in score.clips(out_dir):
        if os.path.basename(path).startswith("mendora-report") or not score.decodes(path, verdicts):
            continue
        total += frames(path)
        digest = score.video_digest(path)
        whole |= {name for name, d in originals.items() if d == digest}
    return total, whole


def spans_for(card, rng):
    """Three spans: two inside recordings (where they cost something), one anywhere on the card."""
    size = card["size"]
    recs = card["truth"]["recordings"]
    out = []
    for k in range(3):
        n = rng.choice(SIZES)
        if k < 2:
            rec = rng.choice(recs)
            at = rec["image_offset"] + rng.randrange(max(1, rec["size"] - n))
        else:
            at = rng.randrange(size - n)
        out.append((at, n))
    return out


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args[0] if args and not args[0].startswith("--") else os.path.join(here, "..", "..", "build"))
    cards = int(args[args.index("--cards") + 1]) if "--cards" in args else 6
    seed = int(args[args.index("--seed") + 1]) if "--seed" in args else 1
    delay = float(args[args.index("--delay") + 1]) if "--delay" in args else 0.0
    if fuse_usable():
        sys.exit("a failing card needs FUSE: %s" % fuse_usable())
    root = tempfile.mkdtemp(prefix="mendora-failing-")
    rng = random.Random(seed)
    rows, verdicts = [], {}
    sums = [0] * 8
    for c in range(cards):
        folder = os.path.join(root, "card%d" % c)
        subprocess.run([os.path.join(build, "mendora-mkcard"), "--out", folder, "--size-mib", "64", "--count", "4",
                        "--frames", "120", "--seed", str(seed * 100 + c)] + STREAMS[c % len(STREAMS)],
                       check=True, capture_output=True)
        with open(os.path.join(folder, "truth.json")) as f:
            truth = json.load(f)
        image = os.path.join(folder, "card.img")
        card = {"truth": truth, "size": os.path.getsize(image)}
        originals = {r["name"]: score.video_digest(os.path.join(folder, "recordings", r["name"] + ".MP4"))
                     for r in truth["recordings"]}
        spans = spans_for(card, rng)

        def engine(img, out):
            subprocess.run([os.path.join(build, "mendora"), img, "--work-dir", out + "-work", "-o", out,
                            "--recover-all", "--no-progress"], capture_output=True, check=True)

        healthy = os.path.join(folder, "healthy")
        engine(image, healthy)
        healthy_frames, healthy_whole = tally(healthy, originals, verdicts)
        failing = os.path.join(folder, "failing")
        with FailingMount(image, spans, os.path.join(folder, "mount"), delay) as mount:
            engine(mount.path, failing)
            failed_reads = mount.stats()["failed_reads"]
            photorec = os.path.join(folder, "photorec")
            os.makedirs(photorec)
            subprocess.run(["photorec", "/log", "/d", os.path.join(photorec, "recup"), "/cmd", mount.path,
                            "partition_none,fileopt,everything,disable,mov,enable,search"], cwd=photorec,
                           capture_output=True)
        engine_frames, engine_whole = tally(failing, originals, verdicts)
        peer_frames, peer_whole = tally(photorec, originals, verdicts)
        written = [n for n in os.listdir(failing) if n.startswith("XAVC_")]
        salvaged = {n[:25] for n in written if "_salvaged" in n}
        lost = len(truth["recordings"]) - len({n[:25] for n in written})
        row = [len(spans), failed_reads, len(engine_whole), len(salvaged), lost, engine_frames, healthy_frames,
               peer_frames]
        sums = [a + b for a, b in zip(sums, row)]
        rows.append((c + 1, " ".join(STREAMS[c % len(STREAMS)]) or "defaults",
                     ", ".join("%d B at 0x%X" % (n, at) for at, n in spans), row, len(truth["recordings"]),
                     len(healthy_whole), len(peer_whole)))
    print("| card | stream | spans | failed reads | whole | salvaged | lost | frames (engine / healthy) "
          "| PhotoRec frames | PhotoRec whole |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for number, stream, spans, row, recs, healthy_whole, peer_whole in rows:
        print("| %d | %s | %s | %d | %d of %d | %d | %d | %d / %d (%.0f %%) | %d | %d |"
              % (number, stream, spans, row[1], row[2], recs, row[3], row[4], row[5], row[6],
                 100.0 * row[5] / max(1, row[6]), row[7], peer_whole))
    print("| all | | %d spans | %d | %d | %d | %d | %d / %d (%.1f %%) | %d (%.1f %%) | |"
          % (sums[0], sums[1], sums[2], sums[3], sums[4], sums[5], sums[6], 100.0 * sums[5] / max(1, sums[6]),
             sums[7], 100.0 * sums[7] / max(1, sums[6])))
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
