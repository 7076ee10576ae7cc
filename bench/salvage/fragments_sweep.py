#!/usr/bin/env python3
"""Cards of two recordings written at once beyond the fixed two-at-once scenarios: run lengths from
one cluster to several MiB, cluster sizes, AVC and HEVC, B-frames and key frame intervals, a movie
box lost, quick-formatted or the FAT zeroed, other seeds; per card the row of
bench/salvage/fragments.sh, and under it what the oracle finds wrong in a salvaged file. Uses build/ at the repository root (or MENDORA_BUILD_DIR).

    python3 bench/salvage/fragments_sweep.py [NAME...]    only the cards whose name holds a NAME"""

import os
import sys
import unittest

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
os.environ.setdefault("MENDORA_BUILD_DIR", os.path.join(root, "build"))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
import harness  # noqa: E402
import test_salvage  # noqa: E402
from test_fragment_cards import CARDS, FORMAT, ZEROED  # noqa: E402

# beyond the test's cards, files that write at paces of their own: the second's runs shorter than
# the first's (a proxy beside the main stream), every run's length drawn around the given one
UNEVEN = {
    "run5:1-c32": ("--count", "3", "--frames", "96,84,48", "--alternate", "5:1", "--seed", "21") + FORMAT,
    "run3-jitter-c32": ("--count", "3", "--frames", "96,84,48", "--alternate", "3", "--jitter-runs",
                        "--seed", "22") + FORMAT,
    "run6:2-jitter-c32-b2": ("--count", "3", "--frames", "96,84,48", "--alternate", "6:2", "--jitter-runs",
                             "--bframes", "2", "--gop", "12", "--seed", "23") + ZEROED,
    "run4:1-jitter-lost-hevc": ("--count", "2", "--frames", "96,84", "--alternate", "4:1", "--jitter-runs",
                                "--damage", "moov-lost", "--hevc", "--seed", "24") + FORMAT,
    "run12:3-jitter-c16": ("--count", "3", "--frames", "120,96,48", "--alternate", "12:3", "--jitter-runs",
                           "--cluster-kib", "16", "--seed", "25") + ZEROED,
    "run2:9-jitter-c64-lost": ("--count", "2", "--frames", "96,120", "--alternate", "2:9", "--jitter-runs",
                               "--cluster-kib", "64", "--damage", "moov-lost", "--seed", "26") + ZEROED,
}


def main(names):
    test = unittest.TestCase()
    print("%-34s %5s %12s %7s %5s %9s %15s %7s" % ("card", "runs", "cuts v+s+k", "joined", "gaps", "whole/of",
                                                  "frames kept/on", "frames"))
    for name, options in list(CARDS.items()) + list(UNEVEN.items()):
        if names and not any(n in name for n in names):
            continue
        problems = []
        try:
            row = test_salvage.fragment_row(test, harness.make_card(None, *options), problems)
        except AssertionError as e:
            print("%-34s %s" % (name, str(e).splitlines()[0][:120]), flush=True)
            continue
        test_salvage.print_fragment_row(name, row)
        for p in problems:  # what the oracle finds wrong in a salvaged file
            print("    %s" % p, flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
