"""Bytes the engine asks of the files it reads, counted by the system: `rchar` of /proc/PID/io,
read after the engine has ended and before it is reaped, covers every read call and every copy
inside the system. Counts, not times: the figures are the same on every machine and every run.
"""

import os
import subprocess
import tempfile
import unittest

import harness

HD = ("--video", "1920x1080", "--video-mbps", "50", "--size-mib", "64", "--random-free")
WHOLE = ("--count", "2", "--frames", "96") + HD
FRAGMENTED = WHOLE + ("--fragment", "3")
CAMERA_LIKE = WHOLE + ("--bframes", "3")  # the encoder's default pyramid of B-frames
HEVC = WHOLE + ("--hevc",)
RECOVER = ("--recover-all", "--no-validator", "--no-progress")
DECODED = ("--recover-all", "--no-progress")

# What a run may ask of the card, over the card's size. The analysis reads the card once in the
# raw scan, then the neighbourhood of every video chunk while it locates the chunks. A run that
# writes every clip does that search while the scan passes the chunks and spools the recordings
# that lie whole into the output folder, so it reads the card once; the decode check reads every
# video chunk once more, and recordings in pieces are read again where their pieces lie. On these
# cards the clips fill two thirds of the card. The report hashes a spooled clip as its bytes pass;
# it reads back (last column) only the files written otherwise, whose reads are not counted here.
CEILINGS = [
    ("analysis of recordings lying whole", WHOLE, ("--analysis-only",), 1.75, False),
    ("recovery of recordings lying whole", WHOLE, RECOVER, 1.1, False),
    ("recovery of camera-like recordings lying whole", CAMERA_LIKE, RECOVER, 1.1, False),
    ("recovery of HEVC recordings lying whole", HEVC, RECOVER, 1.1, False),
    ("decode-checked recovery of recordings lying whole", WHOLE, DECODED, 1.8, False),
    ("recovery of recordings in three extents out of order", FRAGMENTED, RECOVER, 2.5, True),
]


def counted_run(test, card, work_dir, options):
    """Runs the engine on the card; its read counters and the bytes it wrote."""
    out_dir = tempfile.mkdtemp(prefix="out-", dir=work_dir)
    before = harness.sha256(card.image)
    p = subprocess.Popen([harness.ENGINE, card.image, "--work-dir", work_dir, "-o", out_dir] + list(options),
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    stderr = p.stderr.read()
    # ended but not reaped: its counters can still be read
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)
    with open("/proc/%d/io" % p.pid) as f:
        io = {key: int(value) for key, value in (line.split(":") for line in f)}
    test.assertEqual(p.wait(), 0, stderr)
    test.assertEqual(before, harness.sha256(card.image), "the engine changed the source image")
    wrote = sum(os.path.getsize(os.path.join(out_dir, n)) for n in harness.recovered_files(out_dir))
    return io["rchar"], wrote


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
        for name, card_options, options, ceiling, read_back in CEILINGS:
            with self.subTest(run=name):
                card = harness.make_card(None, *card_options)
                size = os.path.getsize(card.image)
                work = tempfile.mkdtemp(prefix="work-", dir=harness._root)
                read, wrote = counted_run(self, card, work, options)
                hashes = wrote if read_back else 0
                print("%s: read %.3f x the card (%.3f x of it the report's hashes), wrote %.3f x"
                      % (name, read / size, hashes / size, wrote / size))
                self.assertLessEqual((read - hashes) / size, ceiling)
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
