"""Cuts the seed corpus of every harness out of generated cards: BUILD_DIR/fuzz-seeds/NAME/, and
empties BUILD_DIR/fuzz-scratch/NAME/ where the test runs put what they find."""

import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import mp4_reader  # noqa: E402

CARDS = {"avc": ["--count", "1"], "hevc": ["--count", "1", "--hevc", "--co64", "--moov64", "--uuid", "1"],
         "partition": ["--count", "1", "--partition", "--mdat64"]}


def window_seed(data, moov, codec):
    """The first video chunk with the kkad box before it, as the window harness reads it."""
    trak = next(t for t in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3])
                if t[0] == "trak" and mp4_reader.track_tables(data, t)["handler"] == "vide")
    tables = mp4_reader.track_tables(data, trak)
    sizes = tables["sizes"][:12]
    chunk = tables["offsets"][0]
    kkad = data.rfind(b"kkad", 0, chunk)
    begin = max(kkad - 516, 0)
    image = data[begin:chunk + sum(sizes) + 512]
    head = bytes([0 if codec == "avc" else 1, len(sizes)]) + struct.pack("<12H", *[min(s, 0xFFFF) for s in sizes])
    return head + struct.pack("<3H", min(kkad - begin, 0xFFFF), 0x1000, 0xFFFF) + image


def seeds_of_card(build, folder, codec):
    card = open(os.path.join(folder, "card.img"), "rb").read()
    boot = card.find(b"EXFAT   ") - 3
    yield "exfat", card[boot - boot % 512 - 1024 if boot >= 1024 else 0:boot + 24 * 512]
    yield "fsdir", card[:1024 * 1024]
    for path in glob.glob(os.path.join(folder, "recordings", "*.MP4")):
        data = open(path, "rb").read()
        moov = next(b for b in mp4_reader.boxes(data, 0, len(data)) if b[0] == "moov")
        movie = data[moov[1]:moov[1] + moov[3]]
        yield "movie", movie
        yield "box", data[:4096]
        yield "box", movie
        yield "kkad", movie + b"".join(data[at:at + struct.unpack(">I", data[at:at + 4])[0]]
                                       for at in mp4_reader.kkad_offsets(data))
        yield "window", window_seed(data, moov, codec)
        # a recording whole, without its movie box, and cut a third of the way in
        yield "salvage", data
        yield "salvage", data[:moov[1]]
        yield "salvage", data[:len(data) // 3]
        yield "salvage", data[:len(data) // 2] + bytes(4096) + data[len(data) // 2 + 4096:]
        # a run table and sample sizes in front of the recording's first chunks
        yield "cut_join", bytes([3, 0, 1]) + data[:256 * 1024]
        # the movie box, starting at 16, cut at the cluster edge at 512, its rest a cluster further on
        head = bytes([0, 0]) + struct.pack("<HHII", 1, 0xFFFF, 0, 0xFFFFFFFF) + bytes(2)
        yield "cut_movie", head + movie[:496] + bytes(512) + movie[496:]
    work = tempfile.mkdtemp(dir=folder)
    run = subprocess.run([os.path.join(build, "mendora"), os.path.join(folder, "card.img"), "--work-dir", work,
                          "--analysis-only"], check=True, capture_output=True)
    yield "engine_log", run.stdout + run.stderr
    for cache in glob.glob(os.path.join(work, "velto_xavc_scan_*.bin")):
        data = open(cache, "rb").read()
        yield "scan_cache", data
        yield "scan_cache", data[:len(data) // 2]


def annex_b_units(es):
    """The NAL units of an Annex-B stream, start codes and trailing zero bytes taken off."""
    starts = [i + 3 for i in range(len(es) - 2) if es[i:i + 3] == b"\x00\x00\x01"]
    return [es[a:b - 3].rstrip(b"\x00") if b < len(es) else es[a:] for a, b in zip(starts, starts[1:] + [len(es)])]


def picture_order_seeds(folder):
    """Streams with B-frames and open GOPs from the encoders' defaults: the SPS and PPS, then every
    access unit length-prefixed; once read straight through, once with a restart at the second key
    frame."""
    for hevc, codec in ((0, "-c:v libx264 -g 12 -x264-params aud=1"),
                        (1, "-c:v libx265 -g 12 -x265-params aud=1:log-level=error")):
        es_path = os.path.join(folder, "order.es")
        subprocess.run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x64:rate=30 -frames:v 30 "
                       "-pix_fmt yuv420p %s -f %s %s" % (codec, "hevc" if hevc else "h264", es_path),
                       shell=True, check=True)
        units = annex_b_units(open(es_path, "rb").read())
        kind = (lambda u: (u[0] >> 1) & 0x3F) if hevc else (lambda u: u[0] & 0x1F)
        sps = next(u for u in units if kind(u) == (33 if hevc else 7))
        pps = next(u for u in units if kind(u) == (34 if hevc else 8))
        samples, keys = [], []
        for u in units:
            if kind(u) == (35 if hevc else 9):
                samples.append(b"")
            if samples:
                samples[-1] += struct.pack(">I", len(u)) + u
                if kind(u) in ((16, 17, 18, 19, 20, 21) if hevc else (5,)):
                    keys.append(len(samples) - 1)
        body = struct.pack(">H", len(sps)) + sps + struct.pack(">H", len(pps)) + pps + b"".join(
            struct.pack(">I", len(s)) + s for s in samples)
        for restart in (0, keys[1] if len(keys) > 1 else 0):
            yield "picture_order", bytes([hevc, min(restart, 255)]) + body


def fsdir_seeds(root):
    """The first 32 KiB of a small card as mkfs.exfat lays it out: boot region, FAT, bitmap,
    up-case table and root folder."""
    path = os.path.join(root, "mkfs.img")
    with open(path, "wb") as f:
        f.truncate(4 * 1024 * 1024)
    if subprocess.run(["mkfs.exfat", "-c", "4096", "-b", "4096", path], capture_output=True).returncode == 0:
        yield "fsdir", open(path, "rb").read()[:32768]


def mapfile_seeds():
    """Mapfiles as GNU ddrescue writes them: rescued, bad, not scraped and not tried blocks."""
    yield "mapfile", (b"# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
                      b"0x00010000     ?               1\n#      pos        size  status\n"
                      b"0x00000000  0x00010000  +\n0x00010000  0x00000200  -\n0x00010200  0x00000E00  /\n"
                      b"0x00011000  0x0000F000  *\n0x00020000  0x000E0000  ?\n")
    yield "mapfile", b"0 +\n0 1048576 +\n"


def main():
    build = os.path.abspath(sys.argv[1])
    harnesses = [os.path.basename(p)[5:] for p in glob.glob(os.path.join(build, "fuzz_*")) if os.access(p, os.X_OK)]
    for kind in ("fuzz-seeds", "fuzz-scratch"):
        for name in harnesses:
            shutil.rmtree(os.path.join(build, kind, name), ignore_errors=True)
            os.makedirs(os.path.join(build, kind, name))
    with tempfile.TemporaryDirectory(prefix="mendora-seeds-") as root:
        count = 0
        for codec, options in CARDS.items():
            folder = os.path.join(root, codec)
            subprocess.run([os.path.join(build, "mendora-mkcard"), "--out", folder, "--size-mib", "8", "--frames", "24"]
                           + options, check=True, capture_output=True)
            for name, seed in seeds_of_card(build, folder, codec):
                if name in harnesses:
                    count += 1
                    with open(os.path.join(build, "fuzz-seeds", name, "%s-%d" % (codec, count)), "wb") as f:
                        f.write(seed)
        for name, seed in list(picture_order_seeds(root)) + list(fsdir_seeds(root)) + list(mapfile_seeds()):
            if name in harnesses:
                count += 1
                with open(os.path.join(build, "fuzz-seeds", name, "stream-%d" % count), "wb") as f:
                    f.write(seed)
    print("%d seeds for %s" % (count, ", ".join(sorted(harnesses))))


main()
