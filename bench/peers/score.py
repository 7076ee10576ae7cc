"""Scores what one recovery tool wrote for one generated card, and writes the bench's RESULTS.md.

  score.py CARD_DIR OUT_DIR DECODED_JSON    prints: files decoded identical
  score.py --report RESULTS.tsv RESULTS.md

A clip counts as decoded when ffmpeg reads all of it without an error message, and as identical
when the bytes of its video samples, in order, equal those of one original recording on the card
(every original counts once). DECODED_JSON keeps the decode verdict of every file by its sha256,
so that a file two tools write alike is decoded once."""

import hashlib
import json
import mmap
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import mp4_reader  # noqa: E402

NOT_CLIPS = {"audit.txt", "report.xml", "photorec.log"}


def video_tables(data):
    """The tables of the first readable video track; a broken other track, or a movie box cut short
    behind it, does not matter."""
    at = 0
    while at + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        header = 8
        if size == 1 and at + 16 <= len(data):
            size, header = struct.unpack(">Q", data[at + 8:at + 16])[0], 16
        if size < header:
            return None
        if kind == b"moov":
            return video_in_moov(data, at + header, min(at + size, len(data)))
        at += size
    return None


def video_in_moov(data, begin, end):
    for trak in mp4_reader.boxes(data, begin, end):
        try:
            tables = mp4_reader.track_tables(data, trak) if trak[0] == "trak" else None
        except (ValueError, IndexError, KeyError, TypeError, struct.error):
            continue
        if tables and tables["handler"] == "vide":
            return tables
    return None


def video_digest(path):
    """sha256 of the video samples of an MP4 file in decode order; None when it has no readable
    video track."""
    try:
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            video = video_tables(data)
            if video is None:
                return None
            h = hashlib.sha256()
            sizes, n = video["sizes"], video["per_chunk"]
            for k, offset in enumerate(video["offsets"]):
                for size in sizes[k * n:(k + 1) * n]:
                    if offset + size > len(data):
                        return None
                    h.update(data[offset:offset + size])
                    offset += size
            return h.hexdigest()
    except (ValueError, IndexError, KeyError, OSError, TypeError, struct.error):
        return None


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 24), b""):
            h.update(block)
    return h.hexdigest()


def decodes(path, verdicts):
    key = file_digest(path)
    if key not in verdicts:
        verdicts[key] = decodes_cleanly(path)
    return verdicts[key]


def decodes_cleanly(path):
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-threads", "0", "-i", path, "-f", "null", "-"],
                          capture_output=True, text=True, errors="replace")
    return done.returncode == 0 and not (done.stdout + done.stderr).strip()


def clips(out_dir):
    for folder, _, names in os.walk(out_dir):
        for name in sorted(names):
            if name not in NOT_CLIPS and not name.endswith(".partial"):
                yield os.path.join(folder, name)


def score(card_dir, out_dir, verdicts):
    with open(os.path.join(card_dir, "truth.json")) as f:
        truth = json.load(f)
    originals = {video_digest(os.path.join(card_dir, "recordings", r["name"] + ".MP4")) for r in truth["recordings"]}
    files = decoded = 0
    matched = set()
    for path in clips(out_dir):
        files += 1
        decoded += decodes(path, verdicts)
        digest = video_digest(path)
        if digest in originals:
            matched.add(digest)
    return files, decoded, len(matched)


def report(tsv, md):
    rows = [line.rstrip("\n").split("\t") for line in open(tsv) if line.strip()]
    out = ["# Recovery tools compared on generated cards", "",
           "Written by `bench/peers/run.sh`; do not edit by hand. Every tool reads the same card image;",
           "the page cache is dropped before every timed run. *files*: clips written as files; *decode*:",
           "clips ffmpeg decodes without an error; *identical*: clips whose video samples equal an",
           "original recording byte for byte. `cat` is the floor: reading every byte of the image once.",
           "A run still going after two minutes plus one a GiB of image is stopped and marked (killed).", ""]
    cards = []
    for r in rows:
        if r[0] not in cards:
            cards.append(r[0])
    for card in cards:
        info = [r for r in rows if r[0] == card and r[1] == "card"][0]
        out += ["## %s" % card, "", "%s; %s recordings, %s recoverable by the truth; image %s MiB." % (
            info[2], info[3], info[4], info[5]), "",
            "| tool | files | decode | identical | wall s | x cat | peak MiB |",
            "|---|---:|---:|---:|---:|---:|---:|"]
        floor = [r for r in rows if r[0] == card and r[1] == "cat"][0]
        for r in rows:
            if r[0] != card or r[1] == "card":
                continue
            tool, files, decoded, identical, wall, peak = r[1:7]
            seconds = float(wall.replace("(killed)", ""))
            ratio = "%.2f" % (seconds / max(float(floor[5]), 0.001))
            out.append("| %s | %s | %s | %s | %s | %s | %s |" % (tool, files, decoded, identical, wall, ratio, peak))
        out.append("")
    with open(md, "w") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    if sys.argv[1] == "--report":
        report(sys.argv[2], sys.argv[3])
    else:
        known = json.load(open(sys.argv[3])) if os.path.exists(sys.argv[3]) else {}
        print("%d %d %d" % score(sys.argv[1], sys.argv[2], known))
        with open(sys.argv[3], "w") as f:
            json.dump(known, f)
