"""End-to-end recovery of cards described on the generator's command line instead of a scenario."""

import unittest

import harness

CARDS = [
    ("HEVC recordings with 64-bit offsets and media size", ("--count", "2", "--frames", "36", "--hevc",
                                                             "--co64", "--mdat64")),
    ("fragmented recordings inside a partition with 64 KiB clusters",
     ("--count", "2", "--frames", "60", "--fragment", "2", "--partition", "--random-free",
      "--cluster-kib", "64", "--seed", "5")),
    ("a camera clock 3 hours ahead with uuid boxes, formatted again", ("--count", "3", "--frames", "24",
                                                                        "--tz", "3", "--uuid", "2", "--reformat",
                                                                        "--random-free")),
    ("16-byte movie headers, a set time, gaps and a hole in the last recording",
     ("--count", "3", "--frames", "48", "--moov64", "--time", "1600000000", "--gap", "2", "--damage", "hole")),
    ("the movie box of the last recording overwritten", ("--count", "2", "--frames", "24", "--damage",
                                                         "moov-lost")),
    # the fragment boundary in the middle of the file leaves a video chunk 20 MiB in front of the
    # kkad box that describes it, past the reach of its search: written without it, not decode-checked
    ("a video chunk out of its kkad box's reach", ("--count", "1", "--frames", "240", "--video", "1920x1080",
                                                   "--video-mbps", "40", "--fragment", "2", "--size-mib", "96",
                                                   "--seed", "4")),
]


class CustomCardTest(unittest.TestCase):
    def test_custom_cards_recover(self):
        for name, options in CARDS:
            with self.subTest(card=name), harness.scratch():
                card = harness.make_card(None, *options)
                harness.check_recovery(self, card, validator=False, extra=harness.DOCUMENTED)
                harness.check_recovery(self, card, validator=True, extra=harness.DOCUMENTED)


if __name__ == "__main__":
    unittest.main()
