"""Random damage judged byte for byte. Each case is a card of the generator's camera-like streams
(AVC and HEVC, B-frames, open and long groups, parameter sets in and out of band), lying whole, in
extents or under the camera's file tree, damaged at random: overwritten clusters of random length,
the image cut anywhere, a movie box lost, a video chunk lost whole, runs of clusters moved or
swapped, clusters of another
recording laid over, sidecars cut or their JPEG tail overwritten. Every file the engine writes for
every recording goes through the oracle (tests/e2e/oracle.py), and the report's JSON and card map
are checked against where each recording lies. Two cases in three run without the decode check.

    MENDORA_DAMAGE_CASES=N (default 32) and MENDORA_SEED=S run cases S, S+1, ... S+N-1 (and those of
    FOUND outside them); a failing case prints its seed and keeps its card:
    MENDORA_SEED=S MENDORA_DAMAGE_CASES=1 python3 tests/e2e/test_damage_campaign.py"""

import collections
import concurrent.futures
import os
import random
import shutil
import struct
import subprocess
import tempfile
import traceback
import unittest

import harness
import mp4_reader
import oracle
import oracle_report

CASES = int(os.environ.get("MENDORA_DAMAGE_CASES", "32"))
SEED = int(os.environ.get("MENDORA_SEED", "3500"))
# the stream kinds of the salvage scenario cards, with their recordings' frames, so that the
# generator encodes each once for both
STREAMS = [
    ("avc", ["--frames", "48,72,48"]),
    ("hevc", ["--hevc", "--frames", "48,60,72"]),
    ("avc b3 g15", ["--bframes", "3", "--gop", "15", "--frames", "48,72,48"]),
    ("avc b3 g15 oob", ["--bframes", "3", "--gop", "15", "--params-out-of-band", "--frames", "48,60,36"]),
    ("avc b3 g24 oob", ["--bframes", "3", "--gop", "24", "--params-out-of-band", "--frames", "48,96,48"]),
    ("avc b3 g30 open", ["--bframes", "3", "--gop", "30", "--open-gop", "--frames", "48,84,48"]),
    ("hevc b3 g24", ["--hevc", "--bframes", "3", "--gop", "24", "--frames", "48,72,48"]),
    ("hevc b3 g15 oob", ["--hevc", "--bframes", "3", "--gop", "15", "--params-out-of-band", "--frames", "48,60,36"]),
    ("hevc b3 g30 oob", ["--hevc", "--bframes", "3", "--gop", "30", "--params-out-of-band", "--frames", "48,96,48"]),
    ("hevc b3 g24 open", ["--hevc", "--bframes", "3", "--gop", "24", "--open-gop", "--frames", "48,84,48"]),
]
# cases whose findings are open gaps of the engine, with what is missing: their problems are
# printed, not failed, until the engine closes them
KNOWN_FINDINGS = {}
# cases outside the default seeds that once found a fault, run with every campaign
FOUND = [3569, 3605, 4046]
TREES = [None, None, "live", "deleted", "deleted-tree", "deleted-fat-zeroed", "formatted"]


def card_options(rng, seed):
    """A card of one stream kind and file tree, which consecutive seeds take in turn, its layout
    drawn at random."""
    kind, options = STREAMS[seed % len(STREAMS)]
    options = ["--count", "3", "--dithered-sound", "--seed", str(rng.randrange(1, 10 ** 6))] + options
    extents = rng.choice((1, 1, 2, 3))
    if "36" in options[-1]:
        extents = min(extents, 2)  # three chunks make at most two extents cut inside sound
    options += ["--fragment", str(extents), "--gap", str(rng.choice((0, 0, 1, 3)))]
    options += ["--random-free"] * (rng.random() < 0.7)
    tree = TREES[seed % len(TREES)]
    if tree:
        # twin sets: of two deleted sets the newer wins, a set a format left wins over a deleted
        # one, and a deleted one over a live file's clusters is refused
        options += ["--file-tree", tree] + ["--twin-sets"] * (rng.random() < 0.6)
    return kind, options


class Damaged:
    """A card image being damaged, with where each recording's bytes lie in it now."""

    def __init__(self, card, rng):
        self.card, self.rng = card, rng
        self.image = bytearray(harness.read(card.image))
        self.cs = card.truth["cluster_bytes"]
        boot = self.image[:512]
        self.heap = struct.unpack_from("<I", boot, 88)[0] << boot[108]
        self.places = {r["name"]: oracle.Place(r["extents"]) for r in card.recordings}
        self.done = []
        # most damage falls on one recording, so that its kinds meet: a hole where the movie box
        # is lost, a run moved out of a file already cut
        self.victim = rng.choice(card.recordings)
        self.spans = []  # (offset, length) the card no longer gives

    def pick(self):
        return self.victim if self.rng.random() < 0.75 else self.rng.choice(self.card.recordings)

    def recording_clusters(self):
        """Image offsets of the clusters the recordings fill."""
        return sorted({(i + k) // self.cs * self.cs for p in self.places.values() for _, i, n in p.runs
                       for k in range(0, n, self.cs)})

    def free_clusters(self):
        """Clusters behind the first recording that no recording, folder or small file uses."""
        used = set(self.recording_clusters())
        fs = self.card.truth.get("file_system") or {}
        for e in fs.get("entries", []):
            used |= {self.heap + (c - 2) * self.cs for f, n in e["chain"] for c in range(f, f + n)}
        first = min(used) if used else self.heap
        return [a for a in range(first, len(self.image) - self.cs + 1, self.cs) if a not in used]

    def fill(self, at, n):
        n = max(0, min(n, len(self.image) - at))
        self.image[at:at + n] = bytes(n) if self.rng.random() < 0.3 else self.rng.randbytes(n)
        return n

    def somewhere_in(self, rec):
        """The image offset of a random cluster start inside a recording."""
        place = self.places[rec["name"]]
        f = self.rng.randrange(rec["size"])
        at = place.image(f, f + 1)
        return at // self.cs * self.cs if at is not None else None

    def hole(self):
        rec = self.pick()
        at = self.somewhere_in(rec)
        if at is None:
            return
        n = self.fill(at, int(self.cs * 4 ** self.rng.uniform(-3, 1)) + 1)
        self.done.append("%d bytes overwritten at %d (%s)" % (n, at, rec["name"]))

    def cut(self):
        if self.rng.random() < 0.5:
            # a size whose map cells are a power of two of bytes: pieces that end on a cluster
            # boundary end on a cell boundary too
            size = 40000 * self.rng.choice((256, 512)) - self.rng.randrange(1000)
        else:
            rec = self.pick()
            place = self.places[rec["name"]]
            f = self.rng.randrange(rec["size"])
            size = place.image(f, f + 1)
        if size and size < len(self.image):
            del self.image[size:]
            self.done.append("image cut at %d" % size)

    def movie_lost(self):
        rec = self.pick()
        self.victim = rec  # the holes that follow fall where the salvage has no movie box
        data = harness.read(self.card.recording_path(rec))
        begin = [b[1] for b in mp4_reader.boxes(data, 0, len(data)) if b[0] == "moov"][0]
        for f, i, n in self.places[rec["name"]].runs:
            a, b = max(f, begin), min(f + n, len(data))
            if a < b and i + a - f < len(self.image):
                self.fill(i + a - f, b - a)
        self.done.append("movie box of %s lost" % rec["name"])

    def chunk_lost(self, rec=None):
        """A video chunk overwritten from its first byte to its last: the chunks around it lie
        intact, and the kkad box behind its sound still describes it."""
        rec = rec or self.pick()
        orig = self.original(rec)
        chunks = oracle_report.video_chunks(orig)
        if len(chunks) < 3:
            return
        # mostly one whose next chunk starts inside a group of pictures with a key frame behind
        # it, where there is one: the pictures behind the gap refer to what the card lost, and
        # those after the key frame must be ordered across the gap
        inside = [k for k in range(1, len(chunks) - 1) if not orig.key[12 * (k + 1)] and any(orig.key[12 * (k + 1):])]
        k = self.rng.choice(inside if inside and self.rng.random() < 0.8 else range(1, len(chunks) - 1))
        o, size = chunks[k]
        for f, i, n in self.places[rec["name"]].runs:
            a, b = max(f, o), min(f + n, o + size)
            if a < b and i + a - f < len(self.image):
                self.fill(i + a - f, b - a)
        self.done.append("video chunk %d of %s lost" % (k, rec["name"]))

    def movie_and_chunk_lost(self):
        """Mostly with the movie box lost: the salvage must find the chunks on either side of the
        lost one, order the pictures across it and vouch for the sound before it on its own."""
        if self.rng.random() < 0.85:
            self.movie_lost()
        self.chunk_lost(self.victim)

    def moved(self):
        """A run of clusters moved to free clusters, or swapped with another run."""
        rec = self.pick()
        source = self.somewhere_in(rec)
        count = self.rng.randint(1, 4)
        n = count * self.cs
        swap = self.rng.random() < 0.5
        free = set(self.free_clusters())
        targets = [t for t in (self.recording_clusters() if swap else sorted(free))
                   if t + n <= len(self.image) and (t + n <= source or t >= source + n)
                   and (swap or all(t + k * self.cs in free for k in range(count)))] if source is not None else []
        if not targets or source + n > len(self.image):
            return
        target = self.rng.choice(targets)
        a, b = bytes(self.image[source:source + n]), bytes(self.image[target:target + n])
        self.image[target:target + n] = a
        if swap:
            self.image[source:source + n] = b
        else:
            self.fill(source, n)
        for place in self.places.values():
            place.move(source, target, n, swap)
        self.done.append("%d clusters at %d %s %d (%s)" % (count, source, "swapped with" if swap else "moved to",
                                                           target, rec["name"]))

    def laid_over(self):
        """Part of a video chunk of another recording, with the sound behind it, copied over this one
        from a cluster start: pictures of the right structure that are not the recording's."""
        if len(self.card.recordings) < 2:
            return
        rec = self.pick()
        other = self.rng.choice([r for r in self.card.recordings if r is not rec])
        at = self.somewhere_in(rec)
        samples = other["video_samples"]
        k = self.rng.randrange(0, len(samples), 12)
        begin = samples[k][0] + self.rng.randrange(samples[k][1])
        end = other["sound_chunks"][k // 12][0] + 4 * other["sound_chunks"][k // 12][1]
        n = min(self.rng.randint(1, end - begin), 3 * self.cs)
        source = self.places[other["name"]].image(begin, begin + n)
        if at is None or source is None or source + n > len(self.image) or at + n > len(self.image):
            return
        self.image[at:at + n] = self.image[source:source + n]
        self.done.append("%d bytes of %s laid over %s at %d" % (n, other["name"], rec["name"], at))

    def sidecar(self):
        """A metadata document cut, or a thumbnail's tail overwritten."""
        sides = [s for r in self.card.recordings for s in ((r.get("file") or {}).get("sidecars") or [])]
        if not sides:
            return
        s = self.rng.choice(sides)
        at = self.heap + (s["first_cluster"] - 2) * self.cs
        if s["name"].upper().endswith(".JPG"):
            k = self.rng.randint(2, s["size"] // 2)
            self.image[at + s["size"] - k:at + s["size"]] = bytes(k) if self.rng.random() < 0.5 else self.rng.randbytes(k)
        else:
            # its end lost under other bytes, or under blank padding, where only the document's
            # own structure shows it is cut
            k = self.rng.randrange(s["size"] * 9 // 10, s["size"])
            if self.rng.random() < 0.5:
                self.image[at + k:at + s["size"]] = bytes(self.rng.choice(b" \n") for _ in range(s["size"] - k))
            else:
                self.fill(at + k, s["size"] - k)
        self.done.append("sidecar %s damaged" % s["path"])

    def unreadable(self):
        """Bytes the card no longer gives, as an imaging run's mapfile names them: anywhere in a
        recording, right behind or before a video chunk, or right behind the recording's file."""
        rec = self.pick()
        n = self.rng.choice((512, 4096, 32768, 65536))
        end = self.places[rec["name"]].image(rec["size"] - 1, rec["size"])
        if self.rng.random() < 0.25 and end is not None:
            at = end + 1
        elif self.rng.random() < 0.5:
            at = self.somewhere_in(rec)
            at = at + self.rng.randrange(0, self.cs, 512) if at is not None else None
        else:
            o, size = oracle_report.video_chunks(self.original(rec))[self.rng.randrange(len(rec["sound_chunks"]))]
            at = self.places[rec["name"]].image(o + size, o + size + 1) if self.rng.random() < 0.5 else \
                self.places[rec["name"]].image(o, o + 1)
            at = at if at is None or at == self.places[rec["name"]].image(o + size, o + size + 1) else at - n
        if at is None or at < 0 or at + n > len(self.image):
            return
        self.spans.append((at, n))
        self.done.append("%d bytes unreadable at %d (%s)" % (n, at, rec["name"]))

    def original(self, rec):
        return oracle.Original(self.card, rec)

    def as_read(self):
        """The image the engine reads (the spans hold another card's bytes), the image as the
        engine can know it (zeros there) and the mapfile's text."""
        seen, read = bytearray(self.image), bytearray(self.image)
        blocks, pos = [], 0
        for at, n in sorted(self.spans):  # the image may have been cut since
            at, n = max(at, pos), min(at + n, len(self.image)) - max(at, pos)
            if n <= 0:
                continue
            seen[at:at + n] = bytes(n)
            read[at:at + n] = self.rng.randbytes(n)
            blocks += [(pos, at - pos, "+")] * (at > pos) + [(at, n, "-")]
            pos = at + n
        blocks += [(pos, len(self.image) - pos, "+")] * (len(self.image) > pos)
        text = "# Mapfile. Created by the damage campaign\n0x00000000 + 1\n" + "".join(
            "0x%08X 0x%08X %s\n" % b for b in blocks)
        return read, seen, text

    def damage(self, seed):
        """One to three kinds of damage: the first one consecutive seeds take in turn; a lost movie
        box mostly comes with holes, the salvage without it being the one that must order the
        pictures and place the sound on its own."""
        kinds = [self.hole, self.cut, self.movie_lost, self.moved, self.laid_over, self.unreadable, self.sidecar]
        # a lost movie box twice in a turn, and three times with a chunk lost whole: the salvage
        # without it has the most to get right
        turn = kinds + [self.movie_lost] + [self.movie_and_chunk_lost] * 3
        first = turn[seed % len(turn)]
        if first == self.sidecar and not self.card.truth.get("file_system"):
            first = self.hole
        first()
        if first == self.movie_lost and self.rng.random() < 0.8:
            for _ in range(self.rng.randint(1, 3)):
                self.hole()
        for _ in range(self.rng.randint(0, 2)):
            self.rng.choice(kinds[:-1] + [self.hole] + [self.sidecar] * 2 * bool(self.card.truth.get("file_system")))()


def finding(e):
    """An assertion's own message on one line, without the long diff before it."""
    text = str(e)
    first = text.splitlines()[0]
    return first if " : " not in text else first[:80] + " ... " + text.rsplit(" : ", 1)[1].strip()


def run_case(seed, root):
    """One case: the card, its damage, the engine's run and every judgement of it. Returns the case
    folder, what was done, the problems found and counts of what the files kept."""
    rng = random.Random(seed)
    folder = tempfile.mkdtemp(prefix="case-%d-" % seed, dir=root)
    kind, options = card_options(rng, seed)
    done = subprocess.run([harness.MKCARD, "--out", folder] + options, capture_output=True, text=True)
    if done.returncode:
        return folder, kind, ["mendora-mkcard %s: %s" % (" ".join(options), done.stderr)], {}
    card = harness.Card(folder)
    damaged = Damaged(card, rng)
    damaged.damage(seed)
    what = "%s, %s: %s" % (kind, " ".join(options), "; ".join(damaged.done) or "no damage")
    image, mapfile = os.path.join(folder, "damaged.img"), os.path.join(folder, "damaged.map")
    # two cases in three go without the decode check, which would hide a salvage that keeps
    # pictures whose references it lost; every stream kind, file tree and damage in turn
    decoded = seed % 3 == 0
    test = unittest.TestCase()
    counts = collections.Counter()
    problems = []
    try:
        read, seen, text = damaged.as_read()
        with open(image, "wb") as f:
            f.write(read)
        with open(mapfile, "w") as f:
            f.write(text)
        run = harness.run_engine(test, card, image=image, work_dir=os.path.join(folder, "work"),
                                 out_dir=os.path.join(folder, "out"), timeout=300,
                                 extra=("--mapfile", mapfile) * bool(damaged.spans)
                                 + ("--no-validator",) * (not decoded))
        test.assertEqual(run.code, 0, run.stderr)
        damaged.image = seen
        originals = {r["name"]: oracle.Original(card, r, damaged.image)
                     for r in card.recordings}
        files = oracle.written_files(run.out_dir)
        owners = oracle.owners(test, card, originals, files)
        for rec in card.recordings:
            try:
                fate, kept, changed = oracle.judge_recording(test, originals[rec["name"]], owners.get(rec["name"], []),
                                                             decoded)
                counts[fate] += 1
                counts["camera files with sound the card changed"] += fate == "camera-file" and changed
                counts["kept samples"] += kept
                counts["required samples"] += len(originals[rec["name"]].required())
                counts["kept samples the card had changed"] += fate != "camera-file" and changed
            except AssertionError as e:
                problems.append("%s: %s" % (rec["name"], finding(e)))
        try:
            oracle_report.judge_camera_tree(test, card, originals, damaged.image, run.out_dir, damaged.spans)
        except AssertionError as e:
            problems.append("file system: %s" % finding(e))
        try:
            oracle_report.judge_report(test, card, originals, damaged.places, damaged.image, run.out_dir, owners,
                                        damaged.spans)
        except AssertionError as e:
            problems.append("report: %s" % finding(e))
    except AssertionError as e:
        problems.append(finding(e))
    except Exception:  # a judge that cannot read what it judges is a finding too
        problems.append(traceback.format_exc().strip().splitlines()[-1])
    return folder, what, problems, counts


class DamageCampaign(unittest.TestCase):
    def test_every_written_file_passes_the_oracle(self):
        root = tempfile.mkdtemp(prefix="mendora-damage-")
        failures, totals = [], collections.Counter()
        seeds = list(range(SEED, SEED + CASES)) + [s for s in FOUND if not SEED <= s < SEED + CASES]
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            for seed, (folder, what, problems, counts) in zip(seeds, pool.map(lambda s: run_case(s, root), seeds)):
                totals.update(counts)
                if problems and seed in KNOWN_FINDINGS:
                    print("\nknown finding, seed %d: %s\n  %s" % (seed, KNOWN_FINDINGS[seed], "\n  ".join(problems)))
                elif problems:
                    failures.append("case seed %d (card kept in %s)\n  %s\n  %s" % (seed, folder, what,
                                                                                  "\n  ".join(problems)))
                else:
                    shutil.rmtree(folder)
        print("\n%d cases: %s" % (len(seeds), ", ".join("%s %d" % kv for kv in sorted(totals.items()))))
        if not failures:
            shutil.rmtree(root)
        self.assertEqual(failures, [], "\n".join(failures))


if __name__ == "__main__":
    unittest.main()
