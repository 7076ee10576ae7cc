"""Corruption campaign: for every scenario card, mutants with random bytes flipped inside the
camera's boxes (ftyp, mdat headers, kkad, moov and its sample tables), giant sizes and counts, the
image cut short, and scan caches with wrong fields, each run through analysis and recovery. Every
run must end with exit code 0, or 2 and a fatal message; never a signal or a hang. The image stays
unchanged, no .partial is left, and every file with a final name decodes cleanly and holds what its
movie box says. MENDORA_MUTANTS sets the mutants per card (default 4); MENDORA_SEED the seed."""

import collections
import concurrent.futures
import os
import random
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness
import mp4_reader

MUTANTS = int(os.environ.get("MENDORA_MUTANTS", "4"))
SEED = int(os.environ.get("MENDORA_SEED", "20261206"))
FATAL = re.compile(r"ERROR: (no valid exFAT boot region found in first 64 MiB|out of memory (re)?allocating \d+ bytes)$")
TABLES = ("stsz", "stsc", "stco", "co64", "stts", "stsd")
GIANT_SIZES = (0, 1, 7, 8, 0x7FFFFFFF, 0xFFFFFFFF)
GIANT_COUNTS = (1000001, 10000000, 100000000, 0x7FFFFFFF, 0xFFFFFFFF)


def boxes_at(image, kind):
    """(start, size) of every box of this type on the card whose size fits the image."""
    found, at = [], image.find(kind)
    while at >= 0:
        start = at - 4
        size = struct.unpack(">I", image[start:at])[0] if start >= 0 else 0
        if 8 <= size <= len(image) - start:
            found.append((start, size))
        at = image.find(kind, at + 1)
    return found


def regions(image):
    """The places worth damaging, by kind: whole small boxes, the mdat headers behind each ftyp,
    the sample tables inside each movie box."""
    ftyp = boxes_at(image, b"ftypXAVC")
    found = {"ftyp": ftyp, "kkad": boxes_at(image, b"kkad"), "moov": boxes_at(image, b"moov"),
             "mdat header": [(s + n, 16) for s, n in ftyp],
             "sample table": [b for m, n in boxes_at(image, b"moov") for t in TABLES
                              for b in boxes_at(image[:m + n], t.encode()) if b[0] > m]}
    return {k: v for k, v in found.items() if v}


def damage(rng, image, places, kind):
    """Flips bytes inside a box, sets a size or a table's entry count to a giant value, or cuts the
    image short; returns what it did."""
    region = rng.choice(sorted(places))
    start, size = rng.choice(places[region])
    if kind == "cut":
        at = min(len(image), start + rng.randrange(size + 64)) if rng.random() < 0.7 else rng.randrange(len(image))
        del image[at:]
        return "image cut at %d" % at
    if kind == "flip":
        for _ in range(rng.randint(1, 8)):
            image[start + rng.randrange(size)] ^= rng.randrange(1, 256)
        return "bytes flipped in a %s at %d" % (region, start)
    count = region == "sample table" and rng.random() < 0.6
    field = start + (4 + (12 if image[start + 4:start + 8] == b"stsz" else 8) if count else 0)
    value = rng.choice(GIANT_COUNTS if count else GIANT_SIZES)
    image[field:field + 4] = struct.pack(">I", value)
    if value == 1 and not count:
        image[field + 8:field + 16] = struct.pack(">Q", rng.choice((0, 9, 1 << 40, (1 << 64) - 1)))
    return "%s of a %s at %d set to %d" % ("count" if count else "size", region, start, value)


def bad_cache(rng, cache, image_size):
    """A scan cache with one field wrong, or all of them."""
    def offsets(c, pick):
        c[48:] = b"".join(struct.pack("<Q", pick(c[i:i + 8])) for i in range(48, len(c) - 7, 8))
    fields = {
        "magic": lambda c: c.__setitem__(slice(6, 7), b"5"),
        "image size": lambda c: c.__setitem__(slice(8, 16), struct.pack("<Q", image_size + 1)),
        "fingerprint": lambda c: c.__setitem__(slice(16, 24), os.urandom(8)),
        "count": lambda c: c.__setitem__(slice(*(24 + 8 * rng.randrange(3) + i for i in (0, 8))),
                                         struct.pack("<Q", rng.choice((1, 9999999, 10000001, 1 << 63)))),
        "offsets": lambda c: offsets(c, lambda _: rng.choice((0, rng.randrange(image_size), image_size, 1 << 63))),
        "offset order": lambda c: c.__setitem__(slice(48, None), b"".join(
            sorted((bytes(c[i:i + 8]) for i in range(48, len(c) - 7, 8)), key=lambda _: rng.random()))),
        "length": lambda c: c.__delitem__(slice(rng.randrange(len(c)), None)),
    }
    names = list(fields) if rng.random() < 0.2 else [rng.choice(sorted(fields))]
    for name in names:
        fields[name](cache)
    return "scan cache with wrong " + ", ".join(names)


def chunk_extents(track, stsc):
    """(file offset, length) of every chunk of a track, its stsc entries spread over the chunks."""
    entries = [struct.unpack(">II", stsc[8 + 12 * i:16 + 12 * i]) for i in range(struct.unpack(">I", stsc[4:8])[0])]
    out, sample = [], 0
    for k, offset in enumerate(track["offsets"]):
        per = [n for first, n in entries if first <= k + 1][-1]
        out.append((offset, sum(track["sizes"][sample:sample + per])))
        sample += per
    return out


# A rebuilt clip keeps the camera's movie box byte for byte, flipped bytes included: flipped
# composition offsets leave frames out of order, which the player reports and nothing else may.
# A salvaged clip that took its parameter sets from a flipped movie box may read its pictures'
# order from sets that are not the stream's, and be shown out of order the same way.
REORDERED = re.compile(r"^\[null @ 0x[0-9a-f]+\] Application provided invalid, non monotonically increasing dts "
                       r"to muxer in stream 0: \d+ >= \d+$")


def check_written_file(path, camera_moov_flipped=False):
    """Problems of one written file: does it decode cleanly, does its movie box end the file, and
    does every chunk it names lie inside its media data."""
    data = harness.read(path)
    messages = harness.decode_messages(path)
    if camera_moov_flipped:
        messages = "\n".join(line for line in messages.splitlines() if not REORDERED.match(line))
    problems = [messages]
    try:
        top = mp4_reader.boxes(data, 0, len(data))
        mdat = [b for b in top if b[0] == "mdat"][0]
        moov = [b for b in top if b[0] == "moov"][0]
        if moov[1] + moov[3] != len(data):
            problems.append("the movie box does not end the file")
        for trak in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3]):
            if trak[0] != "trak":
                continue
            track = mp4_reader.track_tables(data, trak)
            stsc = mp4_reader.body(data, mp4_reader.path(data, trak, "mdia", "minf", "stbl", "stsc"))
            for offset, length in chunk_extents(track, stsc):
                if offset < mdat[1] + mdat[2] or offset + length > mdat[1] + mdat[3]:
                    problems.append("a %s chunk at %d lies outside the media data" % (track["handler"], offset))
                    break
    except (IndexError, TypeError, struct.error, ValueError, MemoryError) as e:
        problems.append("its boxes cannot be read: %r" % e)
    return [p for p in problems if p]


def run_mutant(case):
    """Runs the engine on one mutant; the outcome ("exit 0", "exit 2", "signal", "hang") and the
    problems found."""
    image, work, out = case["image"], case["work"], os.path.join(case["folder"], "out")
    before = harness.sha256(image)
    args = [harness.ENGINE, image, "--work-dir", work, "-o", out, "--recover-all", "--no-progress"]
    try:
        done = subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=300)
    except subprocess.TimeoutExpired:
        return "hang", ["no end within 300 s"]
    problems = [] if harness.sha256(image) == before else ["the image was changed"]
    code, last = done.returncode, (done.stderr.splitlines() or [""])[-1]
    if not (code == 0 and "  videos written    : " in done.stdout or code == 2 and FATAL.match(last)):
        problems.append("exit code %d without its ending: %r" % (code, done.stderr[-300:]))
    # the camera's own files lie in its folders below the output folder, with their sidecars
    names = [os.path.relpath(os.path.join(d, n), out) for d, _, files in os.walk(out) for n in files
             if n not in harness.REPORT_FILES]
    problems += ["%s left behind" % n for n in names if n.endswith(".partial")]
    for name in [n for n in names if n.upper().endswith(".MP4")]:
        flipped = case["name"].split(": ", 1)[-1].startswith("bytes flipped in a moov")
        problems += ["%s: %s" % (name, p) for p in check_written_file(os.path.join(out, name), flipped)]
    return ("signal" if code < 0 else "exit %d" % code), problems


def make_mutants(card, scenario, rng, root):
    """The mutant cases of one card: image mutants written to files of their own, cache mutants
    beside the untouched image."""
    original = harness.read(card.image)
    places = regions(original)
    scan = {}

    def clean_cache():
        """The scan cache of a clean run (made the first time a cache mutant needs it), and its name."""
        if not scan:
            clean = tempfile.mkdtemp(dir=root)
            subprocess.run([harness.ENGINE, card.image, "--work-dir", clean, "--analysis-only", "--no-progress"],
                           capture_output=True, check=True, timeout=300)
            name = [n for n in os.listdir(clean) if n.startswith("velto_xavc_scan_")][0]  # the report lies beside it
            scan.update(name=name, bytes=harness.read(os.path.join(clean, name)))
        return scan["name"], scan["bytes"]

    cases = []
    for i in range(MUTANTS):
        folder = tempfile.mkdtemp(dir=root)
        case = {"folder": folder, "work": os.path.join(folder, "work"), "image": card.image}
        os.mkdir(case["work"])
        kind = rng.choice(("flip", "flip", "giant", "cut", "cache"))
        if kind == "cache":
            cache_name, cache = clean_cache()
            mutated, path = bytearray(cache), os.path.join(case["work"], cache_name)
            what = bad_cache(rng, mutated, len(original))
        else:
            mutated, path = bytearray(original), os.path.join(folder, "card.img")
            what, case["image"] = damage(rng, mutated, places, kind), path
        with open(path, "wb") as f:
            f.write(mutated)
        case["name"] = "%s mutant %d: %s" % (scenario, i, what)
        cases.append(case)
    return cases


class CorruptionCampaign(unittest.TestCase):
    def test_mutants_end_cleanly(self):
        scenarios = subprocess.run([harness.MKCARD, "--list"], capture_output=True, text=True,
                                   check=True).stdout.split()
        rng = random.Random(SEED)
        outcomes, failures = collections.Counter(), []
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            for scenario in scenarios:
                card = harness.make_card(scenario)
                root = tempfile.mkdtemp(prefix="mendora-mutants-")
                cases = make_mutants(card, scenario, rng, root)
                for case, (outcome, problems) in zip(cases, pool.map(run_mutant, cases)):
                    outcomes[outcome] += 1
                    failures += ["%s: %s" % (case["name"], p) for p in problems]
                shutil.rmtree(root)
        print("\n%d mutants: %s" % (sum(outcomes.values()), ", ".join(
            "%s %d" % (k, outcomes[k]) for k in ("exit 0", "exit 2", "signal", "hang"))))
        self.assertEqual(failures, [], "\n".join(failures))


if __name__ == "__main__":
    unittest.main()
