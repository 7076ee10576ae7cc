"""The cards whose camera file tree the generator writes: every card passes fsck.exfat -n, and a
small exFAT reader of its own (not the engine's) finds on each card the entry sets, times, sizes,
clusters and sidecar bytes its truth names, and reads through every set the bytes the truth says
the set's extent gives (the camera's own file where it is trusted, never where it is not)."""

import hashlib
import os
import re
import struct
import sys
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

import harness
import oracle
import oracle_report

# One row per card: the scenario (None: a custom card) and generator options, its file tree's
# state, and the clips whose set and extent give the camera's own file (by recording name).
# Recovery expectations join these rows as columns.
CARDS = [
    ("fs-live", (), "live", {"rec1", "rec2", "rec3"}),
    ("fs-deleted", (), "deleted", {"rec1", "rec2", "rec3"}),
    ("fs-deleted-fat-zeroed", (), "deleted-fat-zeroed", {"rec1", "rec3"}),
    ("fs-deleted-tree", (), "deleted-tree", {"rec1", "rec2", "rec3"}),
    ("fs-formatted", (), "formatted", {"rec1", "rec3"}),
    ("fs-fragmented", (), "deleted", {"rec1", "rec2", "rec3"}),
    ("fs-fragmented", ("--bframes", "3", "--gop", "24", "--params-out-of-band"), "deleted", {"rec1", "rec2", "rec3"}),
    ("fs-stale", (), "deleted", {"rec1", "rec2", "rec3"}),
    ("fs-slot-reuse", (), "deleted", {"rec1", "rec2"}),
    ("fs-chain-faults", (), "deleted", {"rec1", "rec4"}),
    ("fs-renamed", (), "live", {"rec1", "rec2"}),
    ("fs-name-clash", (), "live", {"rec1", "rec2"}),
    ("fs-hostile-names", (), "deleted", {"rec%d" % i for i in range(1, 9)}),
    ("fs-many-files", (), "live", {"rec%d" % i for i in range(1, 23)}),
    (None, ("--count", "3", "--fragment", "2", "--partition", "--file-tree", "deleted-fat-zeroed"),
     "deleted-fat-zeroed", set()),
    ("hevc", ("--file-tree", "formatted"), "formatted", {"rec1", "rec2", "rec3"}),
]


def trusted_files(card):
    """The files a recovery may give back as the camera wrote them: every entry whose set holds
    and whose extent gives the file's own bytes, with the SHA-256 of those bytes."""
    recordings = {r["name"]: r for r in card.recordings}
    found = []
    for e in card.truth["file_system"]["entries"]:
        if e["kind"] in ("directory", "stale") or not (e["set_intact"] and e["trusted"]):
            continue
        digest = e.get("sha256") or harness.sha256(card.recording_path(recordings[e["recording"]]))
        found.append((e, digest))
    return found


class Volume:
    """The exFAT volume of a card image, read from its boot sector on."""

    def __init__(self, image, base):
        self.image, self.base = image, base
        boot = image[base:base + 512]
        sector = 1 << boot[108]
        self.cluster = sector << boot[109]
        self.fat = base + struct.unpack_from("<I", boot, 80)[0] * sector
        self.heap = base + struct.unpack_from("<I", boot, 88)[0] * sector
        self.count, self.root = struct.unpack_from("<II", boot, 92)
        self.upcase = list(range(65536))
        root = self.clusters_bytes([self.root])
        at = next(i for i in range(0, len(root), 32) if root[i] == 0x82)
        first, length = struct.unpack_from("<IQ", root, at + 20)
        table = self.clusters_bytes(range(first, first + (length + self.cluster - 1) // self.cluster))[:length]
        units, c, i = struct.unpack("<%dH" % (length // 2), table), 0, 0
        while i < len(units):
            if units[i] == 0xFFFF and i + 1 < len(units):
                c, i = c + units[i + 1], i + 2
            else:
                self.upcase[c], c, i = units[i], c + 1, i + 1

    def clusters_bytes(self, clusters):
        return b"".join(self.image[self.heap + (c - 2) * self.cluster:self.heap + (c - 1) * self.cluster]
                        for c in clusters)

    def read_chain(self, first, size):
        """The clusters the FAT chain from `first` names (as many as `size` needs), or None when it
        loops, leaves the volume or ends early."""
        want = None if size is None else max(1, (size + self.cluster - 1) // self.cluster)
        chain, seen = [], set()
        c = first
        while want is None or len(chain) < want:
            if c < 2 or c >= self.count + 2 or c in seen:
                return None
            chain.append(c)
            seen.add(c)
            c = struct.unpack_from("<I", self.image, self.fat + 4 * c)[0]
            if c == 0xFFFFFFFF:
                break
        return chain if want is None or len(chain) == want else None

    def extent(self, s):
        """The bytes a set's extent gives: one run for NoFatChain, else its FAT chain."""
        if s["no_fat_chain"]:
            n = (s["size"] + self.cluster - 1) // self.cluster
            clusters = range(s["first_cluster"], s["first_cluster"] + n)
        else:
            clusters = self.read_chain(s["first_cluster"], s["size"])
        return None if clusters is None else self.clusters_bytes(clusters)[:s["size"]]

    def sets(self, data):
        """Every file entry set in directory bytes, live or deleted, by slot; `valid` when its
        types, checksum (InUse bits set again), name length and name hash all hold."""
        found = {}
        for slot in range(len(data) // 32):
            e = data[slot * 32:slot * 32 + 32]
            if e[0] & 0x7F != 0x05:
                continue
            n = e[1]
            raw = bytearray(data[slot * 32:(slot + 1 + n) * 32])
            if n < 2 or len(raw) != (1 + n) * 32:
                continue
            in_use = all(raw[k * 32] & 0x80 for k in range(n + 1))
            for k in range(n + 1):
                raw[k * 32] |= 0x80
            found[slot] = self.parse_set(raw, in_use)
        return found

    def parse_set(self, raw, in_use):
        checksum = 0
        for i, b in enumerate(raw):
            if i not in (2, 3):
                checksum = (((checksum & 1) << 15) + (checksum >> 1) + b) & 0xFFFF
        stream = raw[32:64]
        length = stream[3]
        units = []
        for k in range(2, len(raw) // 32):
            units += struct.unpack_from("<15H", raw, k * 32 + 2)
        name_hash = 0
        for u in units[:length]:
            for b in (self.upcase[u] & 0xFF, self.upcase[u] >> 8):
                name_hash = (((name_hash & 1) << 15) + (name_hash >> 1) + b) & 0xFFFF
        valid = (stream[0] == 0xC0 and all(raw[k * 32] == 0xC1 for k in range(2, len(raw) // 32))
                 and checksum == struct.unpack_from("<H", raw, 2)[0] and 0 < length <= 15 * (len(raw) // 32 - 2)
                 and name_hash == struct.unpack_from("<H", stream, 4)[0])
        name = struct.pack("<%dH" % length, *units[:length]).decode("utf-16-le", "surrogatepass")
        return {"valid": valid, "in_use": in_use, "name": name, "no_fat_chain": bool(stream[1] & 2),
                "valid_size": struct.unpack_from("<Q", stream, 8)[0], "size": struct.unpack_from("<Q", stream, 24)[0],
                "first_cluster": struct.unpack_from("<I", stream, 20)[0],
                "created": time_text(raw, 8, 20, 22), "modified": time_text(raw, 12, 21, 23)}


def time_text(raw, stamp_at, increment_at, offset_at):
    t = struct.unpack_from("<I", raw, stamp_at)[0]
    increment, offset = raw[increment_at], raw[offset_at]
    quarters = (offset & 0x7F) - (0x80 if offset & 0x40 else 0)
    minutes = abs(quarters) * 15
    return "%04d-%02d-%02dT%02d:%02d:%02d.%02d%s%02d:%02d" % (
        1980 + (t >> 25), (t >> 21) & 15, (t >> 16) & 31, (t >> 11) & 31, (t >> 5) & 63,
        2 * (t & 31) + increment // 100, increment % 100, "-" if quarters < 0 else "+", minutes // 60, minutes % 60)


class FileTreeCards(unittest.TestCase):
    def test_every_card_passes_fsck(self):
        for scenario, options, _, _ in CARDS:
            with self.subTest(scenario=scenario, options=options):
                card = harness.make_card(scenario, *options)
                image = card.image
                if card.truth["file_system"]["volume_offset"]:
                    image = os.path.join(tempfile.mkdtemp(dir=harness._root), "volume.img")
                    with open(image, "wb") as f:
                        f.write(harness.read(card.image)[card.truth["file_system"]["volume_offset"]:])
                done = subprocess.run(["fsck.exfat", "-n", image], capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_truth_is_what_the_directories_say(self):
        for scenario, options, state, trusted in CARDS:
            with self.subTest(scenario=scenario, options=options):
                card = harness.make_card(scenario, *options)
                fs = card.truth["file_system"]
                self.assertEqual(fs["state"], state)
                volume = Volume(harness.read(card.image), fs["volume_offset"])
                self.check_directories(volume, fs)
                self.check_entries(card, volume, fs)
                clips = {e["recording"] for e, _ in trusted_files(card) if e["kind"] == "clip"}
                self.assertEqual(clips, trusted)
                self.assertEqual({r["name"] for r in card.recordings
                                  if r["file"]["set_intact"] and r["file"]["trusted"]}, trusted)

    def test_documented_rules_recover_a_file_tree_card_as_any_other(self):
        # the documented rules read no directory: a card's file tree changes nothing they write
        for scenario, options, _, _ in CARDS:
            with self.subTest(scenario=scenario, options=options):
                card = harness.make_card(scenario, *options)
                for validator in (True, False):
                    harness.check_recovery(self, card, validator=validator, extra=harness.DOCUMENTED)

    def check_directories(self, volume, fs):
        """The folders lie in the clusters the truth names; the root still leads to them (through
        deleted sets when the tree was deleted) unless the card was formatted again, which leaves
        the root empty."""
        root = volume.sets(volume.clusters_bytes([volume.root]))
        names = [s["name"] for s in root.values() if s["valid"] and s["in_use"]]
        self.assertEqual(names, [] if fs["state"] in ("formatted", "deleted-tree") else ["PRIVATE"])
        if fs["state"] == "formatted":
            return
        for d in fs["directories"]:
            clusters = [volume.root]
            for part in d["path"].split("/"):
                sets = volume.sets(volume.clusters_bytes(clusters)).values()
                s = next(s for s in sets if s["valid"] and s["name"] == part)
                self.assertEqual(s["in_use"], fs["state"] != "deleted-tree", d["path"])
                clusters = volume.read_chain(s["first_cluster"], s["size"])
            self.assertEqual(clusters, d["clusters"], d["path"])

    def check_entries(self, card, volume, fs):
        dirs = {d["path"]: volume.sets(volume.clusters_bytes(d["clusters"])) for d in fs["directories"]}
        recordings = {r["name"]: r for r in card.recordings}
        for e in fs["entries"]:
            folder, name = e["folder"], e["name"]
            self.assertEqual(e["path"], folder + "/" + name if folder else name)
            if not folder:
                continue  # the root's own sets
            s = dirs[folder].get(e["slot"])
            if not e["set_intact"]:
                self.assertFalse(s and s["valid"] and s["name"] == name, e["path"])
                continue
            self.assertTrue(s and s["valid"], e["path"])
            for key in ("in_use", "size", "valid_size", "first_cluster", "no_fat_chain", "created", "modified"):
                self.assertEqual(s[key], e[key], "%s: %s" % (e["path"], key))
            self.assertEqual(s["name"], name)
            if e["kind"] == "directory":
                continue
            if e["recording"]:
                want = harness.read(card.recording_path(recordings[e["recording"]]))
            else:
                want = None
            if e["kind"] == "clip":
                self.assertEqual(recordings[e["recording"]]["file"]["path"], e["path"])
                self.assertEqual(volume.clusters_bytes([c for f, n in e["chain"] for c in range(f, f + n)])[:e["size"]],
                                 want, "%s: the truth's chain holds the recording" % e["path"])
            got = volume.extent(s)
            if "sha256" in e:
                self.check_small_file(volume, e, got)
            elif e["trusted"]:
                self.assertEqual(got, want, "%s: the set's extent gives the camera's file" % e["path"])
            else:
                self.assertTrue(got is None or got != want, "%s: an untrusted extent gives the file" % e["path"])

    def check_small_file(self, volume, e, got):
        data = volume.clusters_bytes([c for f, n in e["chain"] for c in range(f, f + n)])[:e["size"]]
        self.assertEqual(hashlib.sha256(data).hexdigest(), e["sha256"], e["path"])
        self.assertEqual(got == data, e["trusted"], e["path"])
        if e["path"].endswith(".XML"):
            ElementTree.fromstring(data)
            return
        self.assertEqual((data[:3], data[-2:]), (b"\xff\xd8\xff", b"\xff\xd9"), e["path"])
        done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "mjpeg", "-i", "-", "-f", "null", "-"],
                              input=data, capture_output=True)
        self.assertEqual((done.returncode, done.stderr), (0, b""), e["path"])


def written_by_clip(stdout):
    """The camera files and sidecars each clip line of the file-system block was followed by."""
    files, clip = {}, None
    for line in stdout.splitlines():
        m = re.match(r"clip (\d+): .* - the camera's file, whole$", line)
        if m:
            clip = int(m.group(1))
            files[clip] = {"file": None, "sidecars": []}
        elif clip and line.startswith("  -> "):
            files[clip]["file"] = line[5:]
        elif clip and line.startswith("  sidecar -> "):
            files[clip]["sidecars"].append(line[13:])
        elif not line.startswith("  "):
            clip = None
    return files


def sidecar_counts(card, run, named_only=False):
    """Sidecars whose set and extent check out, and of them those back under the camera's path,
    beside a clip that came back as the camera's file or another way. named_only: only those of
    recordings whose own set holds (a torn set pairs its sidecars with nothing)."""
    written = {hashlib.sha256(harness.read(line[13:])).hexdigest() for line in run.stdout.splitlines()
               if line.startswith("  sidecar -> ")}
    trusted = [side["sha256"] for rec in card.recordings for side in rec["file"]["sidecars"]
               if side["set_intact"] and side["trusted"] and (rec["file"]["set_intact"] or not named_only)]
    return len(trusted), sum(digest in written for digest in trusted)


def recovery_counts(card, run):
    """Recordings, back as the camera's file, back through the documented path or salvage, lost."""
    camera = written_by_clip(run.stdout)
    others = set(harness.recovered_files(run.out_dir)) - {"PRIVATE"}
    whole = documented = 0
    for rec in card.recordings:
        if rec["clip_number"] in camera:
            whole += 1
        elif any(n.startswith("XAVC_%04d_" % rec["clip_number"]) for n in others):
            documented += 1
    return len(card.recordings), whole, documented, len(card.recordings) - whole - documented


class CameraFileRecovery(unittest.TestCase):
    """The engine on each card, judged by the oracle (tests/e2e/oracle_report.py): every recording
    whose set and extent give the camera's file comes back as that file byte for byte under the set
    that wins, with its modification time and its trusted sidecars; nothing else lands under
    PRIVATE; the others take the documented path or salvage."""

    def test_each_card_state(self):
        for scenario, options, state, trusted in CARDS:
            with self.subTest(scenario=scenario, options=options):
                card = harness.make_card(scenario, *options)
                run = harness.run_engine(self, card)
                self.assertEqual(run.code, 0, run.stderr)
                image = harness.read(card.image)
                originals = {r["name"]: oracle.Original(card, r, image) for r in card.recordings}
                oracle_report.judge_camera_tree(self, card, originals, image, run.out_dir)
                camera = written_by_clip(run.stdout)
                self.assertEqual({r["name"] for r in card.recordings if r["clip_number"] in camera}, trusted,
                                 "the recordings back as the camera's files")
                for path in (files["file"] for files in camera.values()):
                    self.assertFalse(re.match(r"\.|.*[. ]$", os.path.basename(path)), "%s: a hidden or cut name" % path)
                    self.assertTrue(path.upper().endswith(".MP4"), "%s keeps the clip's extension" % path)


def print_table():
    """One line per card: its state, recordings, back as the camera's file, back through the
    documented path or salvage, lost."""
    test = unittest.TestCase()
    print("%-24s %-20s %10s %8s %20s %5s %9s" % ("card", "state", "recordings", "camera", "documented/salvage", "lost",
                                                "sidecars"))
    totals = [0, 0, 0, 0]
    for scenario, options, state, trusted in CARDS:
        card = harness.make_card(scenario, *options)
        run = harness.run_engine(test, card)
        counts = recovery_counts(card, run)
        sidecars, back = sidecar_counts(card, run)
        totals = [totals[0] + len(trusted), totals[1] + len(set(written_by_clip(run.stdout)) & {
            r["clip_number"] for r in card.recordings if r["name"] in trusted}), totals[2] + sidecars, totals[3] + back]
        print("%-24s %-20s %10d %8d %20d %5d %9s" % (((scenario or " ".join(options))[:24], state) + counts
                                                     + ("%d/%d" % (back, sidecars),)))
    print("camera files %d/%d, sidecars %d/%d" % (totals[1], totals[0], totals[3], totals[2]))


if __name__ == "__main__":
    if sys.argv[1:] == ["--table"]:
        print_table()
    else:
        unittest.main()
