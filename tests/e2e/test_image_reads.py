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
RECOVER = ("--recover-all", "--no-validator", "--no-progress")

# What a run may ask of the card, over the card's size. The analysis reads the card once in the
# raw scan, then the neighbourhood of every video chunk while it locates the chunks; the writer
# locates each chunk again and copies it. On these cards the clips fill two thirds of the card.
CEILINGS = [
    ("analysis of recordings lying whole", WHOLE, ("--analysis-only",), 1.75),
    ("recovery of recordings lying whole", WHOLE, RECOVER, 3.3),
    ("recovery of recordings in three extents out of order", FRAGMENTED, RECOVER, 4.0),
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
        for name, card_options, options, ceiling in CEILINGS:
            with self.subTest(run=name):
                card = harness.make_card(None, *card_options)
                size = os.path.getsize(card.image)
                work = tempfile.mkdtemp(prefix="work-", dir=harness._root)
                read, wrote = counted_run(self, card, work, options)
                # the report reads every file it lists back once, for its hash
                print("%s: read %.3f x the card (%.3f x of it the report's hashes), wrote %.3f x"
                      % (name, read / size, wrote / size, wrote / size))
                self.assertLessEqual((read - wrote) / size, ceiling)
                if options == RECOVER:
                    self.assertGreater(wrote, size // 2, "the clips were written")


if __name__ == "__main__":
    unittest.main()
