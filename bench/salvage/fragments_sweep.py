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

FORMAT = ("--random-free", "--reformat")
ZEROED = ("--random-free", "--file-tree", "deleted-fat-zeroed")
# name: the generator's options (the first two recordings alternate in runs of --alternate clusters;
# --damage takes the movie box of the last, so the cards that lose one hold two recordings)
CARDS = {
    "run1-c32": ("--count", "3", "--frames", "96,84,48", "--alternate", "1", "--seed", "5") + FORMAT,
    "run2-c32-hevc": ("--count", "3", "--frames", "96,84,48", "--alternate", "2", "--hevc", "--seed", "6") + FORMAT,
    "run5-c16": ("--count", "3", "--frames", "120,96,48", "--alternate", "5", "--cluster-kib", "16",
                 "--seed", "7") + ZEROED,
    "run7-c64-b2": ("--count", "3", "--frames", "120,96,48", "--alternate", "7", "--cluster-kib", "64",
                    "--bframes", "2", "--gop", "12", "--seed", "8") + FORMAT,
    "run4-c32-b3-hevc": ("--count", "3", "--frames", "96,96,48", "--alternate", "4", "--hevc", "--bframes", "3",
                         "--gop", "24", "--seed", "9") + ZEROED,
    "run64-c128-mbps": ("--count", "3", "--frames", "300,240,48", "--alternate", "64", "--cluster-kib", "128",
                        "--video", "640x360", "--video-mbps", "20", "--size-mib", "256", "--seed", "10") + FORMAT,
    "run3-c32-lost": ("--count", "2", "--frames", "96,84", "--alternate", "3", "--damage", "moov-lost",
                      "--seed", "11") + FORMAT,
    "run9-c32-lost-b2": ("--count", "2", "--frames", "96,84", "--alternate", "9", "--damage", "moov-lost",
                         "--bframes", "2", "--gop", "15", "--seed", "12") + ZEROED,
    "run2-c64-lost-hevc": ("--count", "2", "--frames", "72,96", "--alternate", "2", "--cluster-kib", "64",
                           "--damage", "moov-lost", "--hevc", "--seed", "13") + FORMAT,
    "run20-c32-lost": ("--count", "2", "--frames", "144,120", "--alternate", "20", "--damage", "moov-lost",
                       "--video", "640x360", "--video-mbps", "10", "--size-mib", "128", "--seed", "14") + FORMAT,
    "run6-c32-gop6": ("--count", "3", "--frames", "96,72,48", "--alternate", "6", "--gop", "6",
                      "--seed", "15") + FORMAT,
}


def main(names):
    test = unittest.TestCase()
    print("%-34s %5s %12s %7s %5s %9s %15s %7s" % ("card", "runs", "cuts v+s+k", "joined", "gaps", "whole/of",
                                                  "frames kept/on", "frames"))
    for name, options in CARDS.items():
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
