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
from test_fragment_cards import CARDS  # noqa: E402


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
