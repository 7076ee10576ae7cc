"""A failing card: the generated card shown through a FUSE mount that answers reads of chosen
spans with I/O errors (failing_card.py). The healthy card's own run is the oracle: every
recording that no span touches comes back as the very file the healthy run wrote, byte for
byte; the ones a span touches come back salvaged or with their sound silenced where it did not
read, and decode cleanly; every span is named; the failed reads stay few; the image is never
written. GNU ddrescue images the same mount: the engine on its image with --mapfile gives the
files of the direct read, and the image the engine saves as it reads is one ddrescue goes on
rescuing from."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import harness
import mp4_reader
from failing_card import FailingMount, fuse_usable

CARD = ("--size-mib", "64", "--count", "3", "--frames", "240")
KiB, MiB, SECTOR = 1024, 1048576, 512
SPAN_LINE = re.compile(r"^unreadable: (\d+) bytes at 0x([0-9A-F]+) \(([^)]*)\)$", re.M)


def layout(card):
    """Image offsets of every recording's video chunks, sound chunks, movie box and clip header."""
    out = []
    for rec in card.recordings:
        data = harness.read(card.recording_path(rec))
        movie = mp4_reader.movie(data)
        base = rec["image_offset"]
        tracks = {t["handler"]: t for t in movie["tracks"]}
        moov = [b for b in movie["top"] if b[0] == "moov"][0]
        out.append({"rec": rec, "start": base, "end": base + len(data),
                    "video": [base + o for o in tracks["vide"]["offsets"]],
                    "sound": [base + o for o in tracks["soun"]["offsets"]],
                    "moov": base + moov[1], "moov_size": moov[3]})
    return out


def named_spans(stdout):
    return [(int(m.group(2), 16), int(m.group(1)), m.group(3)) for m in SPAN_LINE.finditer(stdout)]


def merged_sectors(spans, size):
    """The seeded spans as the engine must name them: widened to whole sectors, touching ones joined."""
    out = []
    for offset, length in sorted(spans):
        start, end = offset - offset % SECTOR, min(size, -(-(offset + length) // SECTOR) * SECTOR)
        if out and out[-1][1] >= start:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([start, end])
    return [(a, b - a) for a, b in out]


def files_by_recording(folder):
    """The recovered files (report left out) by the recording time in their names, with their
    SHA-256: a lost clip header renumbers the clips behind it, not their bytes."""
    out = {}
    for name in harness.recovered_files(folder):
        m = re.match(r"XAVC_\d{4}_(\d{8}_\d{6})(.*)$", name)
        if m:
            out.setdefault(m.group(1), []).append((m.group(2), harness.sha256(os.path.join(folder, name))))
    return {key: sorted(value) for key, value in out.items()}


def tree_of(folder):
    """Every file the run wrote, by its path below the folder, with its SHA-256; the report aside."""
    out = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            if rel not in harness.REPORT_FILES:
                out[rel] = harness.sha256(path)
    return out


def time_of(rec):
    return rec["output_name"][10:25]


@unittest.skipIf(fuse_usable(), "a failing card needs FUSE: %s" % fuse_usable())
class FailingCardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.card = harness.make_card(None, *CARD)
        cls.size = os.path.getsize(cls.card.image)
        cls.places = layout(cls.card)
        cls.healthy = harness.run_engine(unittest.TestCase(), cls.card)
        assert cls.healthy.code == 0, cls.healthy.stderr
        assert "unreadable" not in cls.healthy.stdout

    def mounted_run(self, spans, extra=(), work_dir=None):
        folder = tempfile.mkdtemp(prefix="failing-", dir=harness._root)
        with FailingMount(self.card.image, spans, folder) as mount:
            run = harness.run_engine(self, self.card, image=mount.path, work_dir=work_dir, extra=extra,
                                     source=self.card.image)
            run.failed_reads = mount.stats()["failed_reads"]
        self.assertEqual(run.code, 0, run.stderr)
        return run

    def touched(self, spans):
        return {time_of(p["rec"]) for p in self.places
                for offset, length in spans if offset < p["end"] + 65536 and p["start"] < offset + length}

    def check_run(self, run, spans, most_failed_reads):
        """Untouched recordings exactly as from the healthy card; touched ones decode; spans named."""
        self.assertEqual([(o, n) for o, n, _ in named_spans(run.stdout)], merged_sectors(spans, self.size),
                         run.stdout)
        self.assertIn("  unreadable spans  : %d (" % len(merged_sectors(spans, self.size)), run.stdout)
        self.assertLessEqual(run.failed_reads, most_failed_reads)
        healthy, got = files_by_recording(self.healthy.out_dir), files_by_recording(run.out_dir)
        touched = self.touched(spans)
        for when, files in healthy.items():
            if when not in touched:
                self.assertEqual(got.get(when), files, "the recording of %s touches no span" % when)
        for name in harness.recovered_files(run.out_dir):
            if any(when in name for when in touched):
                self.assertEqual(harness.decode_messages(os.path.join(run.out_dir, name)), "", name)
        return touched

    def test_spans_in_every_part_of_the_card(self):
        p1, p2, p3 = self.places
        rows = [
            ("a video chunk and free space", [(p2["video"][2] + 1000, 4096), (38 * MiB, 64 * KiB)], 40),
            ("a sound chunk", [(p1["sound"][4] + 2048, 4096)], 20),
            ("a movie box", [(p3["moov"] + 512, 2048)], 20),
            ("a clip header", [(p1["start"], 4096)], 20),
            ("the boot sector and the FAT", [(0, 512), (0x100000, 8192)], 40),
            ("the last sector", [(self.size - SECTOR, SECTOR)], 20),
            # the scan fails some thirty reads taking the zone apart; a read-ahead that went on past
            # its first failed piece fails some twenty more
            ("a dead zone of many MiB", [(p2["start"] - 3 * MiB, p2["end"] - p2["start"] + 6 * MiB)], 40),
        ]
        for name, spans, most in rows:
            with self.subTest(name):
                run = self.mounted_run(spans)
                touched = self.check_run(run, spans, most)
                if name == "a sound chunk":
                    # the picture stays, the sound there is silence: written by the documented rules
                    self.assertRegex(run.stdout, r"(?m)^  sound silenced: \d+ bytes the card did not give "
                                                 r"\(unreadable \d+ bytes at 0x[0-9A-F]+\)$")
                    self.assertEqual(touched, {time_of(p1["rec"])})
                    self.assertEqual([n for n, _ in files_by_recording(run.out_dir)[time_of(p1["rec"])]], [".MP4"])
                if name == "a video chunk and free space":
                    self.assertRegex(run.stderr, r"(?m)^clip 2: video chunk 3 is not on the card where it did not "
                                                 r"read \(unreadable \d+ bytes at 0x[0-9A-F]+\)$")
                    kept = files_by_recording(run.out_dir)[time_of(p2["rec"])]
                    self.assertEqual([n for n, _ in kept], ["_salvaged.MP4"], run.stdout)

    def test_the_camera_files_around_a_span(self):
        card = harness.make_card("fs-deleted")
        healthy = harness.run_engine(self, card)
        cluster = card.truth["cluster_bytes"]
        heap = card.truth["file_system"]["heap_offset"]
        clip_folder = [d for d in card.truth["file_system"]["directories"] if d["path"] == "PRIVATE/M4ROOT/CLIP"][0]
        first = card.recordings[0]
        rows = [
            ("a span in a clip", (first["image_offset"] + 200000, 4096)),
            ("a span over the clip folder", (heap + (clip_folder["clusters"][0] - 2) * cluster, cluster)),
        ]
        for name, span in rows:
            with self.subTest(name):
                folder = tempfile.mkdtemp(prefix="failing-", dir=harness._root)
                with FailingMount(card.image, [span], folder) as mount:
                    run = harness.run_engine(self, card, image=mount.path, source=card.image)
                self.assertEqual(run.code, 0, run.stderr)
                got, want = tree_of(run.out_dir), tree_of(healthy.out_dir)
                if name == "a span in a clip":
                    # its extent is not the camera's file for certain; the other clips' files are
                    self.assertRegex(run.stdout, r"(?m)^clip 1: PRIVATE/M4ROOT/CLIP/C0001\.MP4 .* its extent holds "
                                                 r"bytes the card did not give \(unreadable \d+ bytes at 0x")
                    self.assertNotIn("PRIVATE/M4ROOT/CLIP/C0001.MP4", got)
                    for path, digest in want.items():
                        if "C0001" not in path and path.startswith("PRIVATE/"):
                            self.assertEqual(got.get(path), digest, path)
                else:
                    # no entry set names the clips: each still comes back, by its content
                    self.assertFalse([p for p in got if p.startswith("PRIVATE/M4ROOT/CLIP/C")], sorted(got))
                    for rec in card.recordings:
                        mine = [p for p in got if time_of(rec) in p]
                        self.assertTrue(mine, "the recording of %s comes back" % time_of(rec))
                        for path in mine:
                            self.assertEqual(harness.decode_messages(os.path.join(run.out_dir, path)), "", path)

    def test_a_second_run_reads_no_known_span_again(self):
        spans = [(self.places[1]["video"][5], 4096)]
        first = self.mounted_run(spans)
        second = self.mounted_run(spans, work_dir=first.work_dir)
        self.assertIn(harness.CACHE_HIT, second.stdout.splitlines())
        self.assertEqual(second.failed_reads, 0, "the cache names the spans; no failed read is tried again")
        self.assertEqual(named_spans(second.stdout), named_spans(first.stdout))
        self.assertEqual(files_by_recording(first.out_dir), files_by_recording(second.out_dir))

    def test_ddrescue_images_the_card_and_the_engine_reads_its_image(self):
        if not shutil.which("ddrescue"):
            self.skipTest("gddrescue is not installed")
        spans = [(self.places[1]["video"][2] + 1000, 4096), (38 * MiB, 64 * KiB)]
        direct = self.mounted_run(spans)
        folder = tempfile.mkdtemp(prefix="rescue-", dir=harness._root)
        image, mapfile = os.path.join(folder, "rescued.img"), os.path.join(folder, "rescued.map")
        with FailingMount(self.card.image, spans, tempfile.mkdtemp(dir=folder)) as mount:
            done = subprocess.run(["ddrescue", "-r0", mount.path, image, mapfile], capture_output=True,
                                  text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        from_map = harness.run_engine(self, self.card, image=image, extra=("--mapfile", mapfile))
        self.assertEqual(from_map.code, 0, from_map.stderr)
        self.assertEqual(sorted(s[:2] for s in named_spans(from_map.stdout)), merged_sectors(spans, self.size))
        self.assertEqual(files_by_recording(direct.out_dir), files_by_recording(from_map.out_dir))

    def test_the_card_saved_as_it_is_read(self):
        spans = [(self.places[0]["video"][7] + 300, 4096), (20 * MiB, 256 * KiB)]
        folder = tempfile.mkdtemp(prefix="saved-", dir=harness._root)
        saved = os.path.join(folder, "saved.img")
        run = self.mounted_run(spans, extra=("--save-image", saved))
        self.assertIn("  image saved: %s (" % saved, run.stdout)
        original = harness.read(self.card.image)
        expected = bytearray(original)
        for offset, length in merged_sectors(spans, self.size):
            expected[offset:offset + length] = bytes(length)
        self.assertTrue(harness.read(saved) == expected, "the saved image is the card, zeros where it did not read")
        if shutil.which("ddrescuelog"):
            done = subprocess.run(["ddrescuelog", "-t", saved + ".map"], capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
        # the saved image with its mapfile gives what the card gave
        again = harness.run_engine(self, self.card, image=saved, extra=("--mapfile", saved + ".map"))
        self.assertEqual(files_by_recording(run.out_dir), files_by_recording(again.out_dir))
        if shutil.which("ddrescue"):
            # ddrescue goes on from the mapfile: it reads only what was not read (the bad sectors on its
            # retry pass), and fills the rest in
            with FailingMount(self.card.image, [], tempfile.mkdtemp(dir=folder)) as mount:
                done = subprocess.run(["ddrescue", "-r1", mount.path, saved, saved + ".map"], capture_output=True,
                                      text=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertLessEqual(mount.stats()["bytes_read"], 4 * MiB, "ddrescue read only what was missing")
            self.assertEqual(harness.read(saved), original)
        # never over an existing file
        refused = self.mounted_run_refused(spans, saved)
        self.assertIn("already exists", refused.stderr)

    def mounted_run_refused(self, spans, saved):
        folder = tempfile.mkdtemp(prefix="failing-", dir=harness._root)
        with FailingMount(self.card.image, spans, folder) as mount:
            run = harness.run_engine(self, self.card, image=mount.path, extra=("--save-image", saved),
                                     source=self.card.image)
        self.assertEqual(run.code, 2)
        return run

    def test_a_mapfile_that_does_not_fit_ends_the_run_before_anything_is_written(self):
        folder = tempfile.mkdtemp(prefix="maps-", dir=harness._root)
        rows = [
            ("a gap", "0x0 +\n0x0 0x1000 +\n0x2000 0x%X +\n" % (self.size - 0x2000), 3),
            ("too short", "0x0 +\n0x0 0x1000 +\n", 2),
            ("not a mapfile", "hello\n", 1),
        ]
        for name, text, line in rows:
            with self.subTest(name):
                path = os.path.join(folder, name.replace(" ", "_") + ".map")
                with open(path, "w") as f:
                    f.write(text)
                out = os.path.join(folder, "never-made")
                run = harness.run_engine(self, self.card, out_dir=out, extra=("--mapfile", path))
                self.assertEqual(run.code, 2)
                self.assertRegex(run.stderr, r"^ERROR: mapfile %s line %d: " % (re.escape(path), line))
                self.assertFalse(os.path.exists(out), "nothing is written")


if __name__ == "__main__":
    unittest.main()
