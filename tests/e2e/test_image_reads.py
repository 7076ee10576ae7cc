"""Bytes the engine itself asks of the card: its read calls and its copies inside the system on the
image's file, traced by strace (card_reads). Neither the page cache nor the files it reads back
(the report's hashes, the scan cache) count: the figures depend on the card alone, the same on
every machine, busy or quiet. The speed these reads cost is measured in bench/.
"""

import os
import subprocess
import tempfile
import unittest

import card_reads
import harness

HD = ("--video", "1920x1080", "--video-mbps", "50", "--size-mib", "64", "--random-free")
WHOLE = ("--count", "2", "--frames", "96") + HD
FRAGMENTED = WHOLE + ("--fragment", "3")
CAMERA_LIKE = WHOLE + ("--bframes", "3")  # the encoder's default pyramid of B-frames
HEVC = WHOLE + ("--hevc",)
RECOVER = ("--recover-all", "--no-validator", "--no-progress")
DECODED = ("--recover-all", "--no-progress")

# What a run may ask of the card: the card's size times the first figure, plus the recordings'
# own bytes times the second. The analysis reads the card once in the raw scan, then the
# neighbourhood of every video chunk while it locates the chunks. A run that writes every clip
# does that search while the scan passes the chunks and spools the recordings that lie whole into
# the output folder, so it reads the card once; the decode check reads every video chunk once
# more. Recordings in pieces are read again where their pieces lie, at most three times: around
# their final chunks, by the chunk search and by the copy.
CEILINGS = [
    ("analysis of recordings lying whole", WHOLE, ("--analysis-only",), 1.75, 0),
    ("recovery of recordings lying whole", WHOLE, RECOVER, 1.1, 0),
    ("recovery of camera-like recordings lying whole", CAMERA_LIKE, RECOVER, 1.1, 0),
    ("recovery of HEVC recordings lying whole", HEVC, RECOVER, 1.1, 0),
    ("decode-checked recovery of recordings lying whole", WHOLE, DECODED, 1.8, 0),
    ("recovery of recordings in three extents out of order", FRAGMENTED, RECOVER, 1.0, 3.0),
]


def counted_run(test, card, work_dir, options):
    """Runs the engine on the card; the bytes it asked of the card and the bytes it wrote."""
    out_dir = tempfile.mkdtemp(prefix="out-", dir=work_dir)
    trace = os.path.join(work_dir, "trace-%s.txt" % os.path.basename(out_dir))
    before = harness.sha256(card.image)
    done = card_reads.traced([harness.ENGINE, card.image, "--work-dir", work_dir, "-o", out_dir] + list(options),
                             trace, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    test.assertEqual(done.returncode, 0, done.stderr)
    test.assertEqual(before, harness.sha256(card.image), "the engine changed the source image")
    calls = list(card_reads.image_reads(trace, card.image))
    read = sum(n for _, kind, n in calls if kind != "fetched")
    # the reading ahead of the scan brings every byte into the cache at most once
    test.assertLessEqual(sum(n for _, kind, n in calls if kind == "fetched"), os.path.getsize(card.image))
    os.remove(trace)
    wrote = sum(os.path.getsize(os.path.join(out_dir, n)) for n in harness.recovered_files(out_dir))
    return read, wrote


class ImageReadsTest(unittest.TestCase):
    def test_raw_scan_reads_every_byte_once(self):
        card = harness.make_card(None, *WHOLE)
        size = os.path.getsize(card.image)
        work = tempfile.mkdtemp(prefix="work-", dir=harness._root)
        scanned, _ = counted_run(self, card, work, ("--analysis-only", "--no-progress"))
        cached, _ = counted_run(self, card, work, ("--analysis-only", "--no-progress"))
        # the second run takes the scan from the cache file, a few hundred bytes
        self.assertAlmostEqual((scanned - cached) / size, 1.0, delta=0.01)

    def test_reads_stay_under_their_ceilings(self):
        for name, card_options, options, per_card, per_recording in CEILINGS:
            with self.subTest(run=name):
                card = harness.make_card(None, *card_options)
                size = os.path.getsize(card.image)
                recordings = sum(r["size"] for r in card.recordings)
                work = tempfile.mkdtemp(prefix="work-", dir=harness._root)
                read, wrote = counted_run(self, card, work, options)
                ceiling = per_card + per_recording * recordings / size
                print("%s: read %.3f x the card (ceiling %.3f), wrote %.3f x" % (name, read / size, ceiling, wrote / size))
                self.assertLessEqual(read / size, ceiling)
                if options != ("--analysis-only",):
                    self.assertGreater(wrote, size // 3, "the clips were written")


def same_run(test, first, second):
    """Two runs print the same lines, cache line and folders aside, and write the same files."""
    def lines(run, text):
        return [line.replace(run.out_dir, "OUT").replace(run.work_dir, "WORK") for line in text.splitlines()
                if line != harness.CACHE_HIT]
    test.assertEqual(lines(first, first.stdout), lines(second, second.stdout))
    test.assertEqual(lines(first, first.stderr), lines(second, second.stderr))
    test.assertEqual(harness.recovered_files(first.out_dir), harness.recovered_files(second.out_dir))
    for name in harness.recovered_files(first.out_dir):
        test.assertEqual(harness.sha256(os.path.join(first.out_dir, name)),
                         harness.sha256(os.path.join(second.out_dir, name)), name)


class OneReadTest(unittest.TestCase):
    def test_work_done_while_the_scan_passes_gives_the_files_of_a_second_pass(self):
        # the second run takes the scan from the cache and so does everything after the scan
        for name, card_options in [("whole", WHOLE), ("in three extents out of order", FRAGMENTED),
                                   ("camera-like", CAMERA_LIKE), ("HEVC", HEVC)]:
            for validator in (False, True):
                with self.subTest(card=name, validator=validator):
                    card = harness.make_card(None, *card_options)
                    first = harness.run_engine(self, card, validator=validator)
                    second = harness.run_engine(self, card, validator=validator, work_dir=first.work_dir)
                    self.assertEqual((first.code, second.code), (0, 0), first.stderr + second.stderr)
                    self.assertNotIn(harness.CACHE_HIT, first.stdout.splitlines())
                    self.assertIn(harness.CACHE_HIT, second.stdout.splitlines())
                    self.assertEqual(len(harness.recovered_files(first.out_dir)), 2)
                    same_run(self, first, second)


if __name__ == "__main__":
    unittest.main()
