#!/usr/bin/env python3
"""Cards of two recordings written at once beyond the fixed two-at-once scenarios: run lengths from
one cluster to several MiB, cluster sizes, AVC and HEVC, B-frames and key frame intervals, a movie
box lost, quick-formatted or the FAT zeroed, other seeds; per card the row of
bench/salvage/fragments.sh, and under it what the oracle finds wrong in a salvaged file. Uses build/ at the repository root (or MENDORA_BUILD_DIR).

    python3 bench/salvage/fragments_sweep.py [NAME...]    only the cards whose name holds a NAME
    python3 bench/salvage/fragments_sweep.py --jittered SEED[,SEED...] [--sound KIND]
                                 six cards of jittered runs per seed instead (shapes in JITTERED),
                                 their sound tone (default), music, hiss or silence: a join that
                                 music or hiss cannot prove must not be made
    python3 bench/salvage/fragments_sweep.py --proxy SEED[,SEED...] [NAME...]
                                 cards of a main clip and its proxy written at once (shapes in PROXY),
                                 a third main clip after them
    ... --sound-format 16x2|24x2|24x4    every card's sound in that sample format
    ... --fps 25|50|24000/1001|30000/1001|60000/1001    every card at that frame rate"""

import os
import sys
import unittest

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
os.environ.setdefault("MENDORA_BUILD_DIR", os.path.join(root, "build"))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
import harness  # noqa: E402
import test_salvage  # noqa: E402
from test_fragment_cards import CARDS, FORMAT, ZEROED  # noqa: E402

# beyond the test's cards, more files that write at paces of their own: every run's length drawn
# around the given one, the second's runs shorter or longer than the first's
UNEVEN = {
    "run4:1-jitter-lost-hevc": ("--count", "2", "--frames", "96,84", "--alternate", "4:1", "--jitter-runs",
                                "--damage", "moov-lost", "--hevc", "--seed", "24") + FORMAT,
    "run2:9-jitter-c64-lost": ("--count", "2", "--frames", "96,120", "--alternate", "2:9", "--jitter-runs",
                               "--cluster-kib", "64", "--damage", "moov-lost", "--seed", "26") + ZEROED,
}


# runs, cluster KiB, frames, more options: one card of jittered runs per seed
JITTERED = [("3", "32", "96,84,48", ()), ("4:2", "32", "96,84,48", ("--bframes", "2", "--gop", "12")),
            ("6", "16", "120,96,48", ()), ("2:5", "32", "96,84,48", ("--hevc",)),
            ("8:3", "64", "120,96,48", ()), ("3", "32", "96,84", ("--damage", "moov-lost"))]


def jittered(seeds, sound="tone"):
    cards = {}
    for seed in seeds:
        for i, (runs, cs, frames, extra) in enumerate(JITTERED):
            cards["j%s-c%s-%d-s%d" % (runs, cs, i, seed)] = (
                "--count", str(len(frames.split(","))), "--frames", frames, "--alternate", runs, "--jitter-runs",
                "--cluster-kib", cs, "--seed", str(seed * 10 + i), "--sound", sound) + extra + (
                FORMAT if (seed + i) % 2 else ZEROED)
    return cards


# main clip and proxy: runs (the proxy's after the colon), picture sizes, bit rates, codecs, more options
PROXY = [("16:1", "1920x1080,640x360", "50,3", "avc", ()),
         ("32:2", "1920x1080,1280x720", "50,9", "hevc,avc,hevc", ("--damage", "moov-lost")),
         ("8:1", "1280x720,640x360", "25,3", "avc", ("--bframes", "2", "--gop", "12")),
         ("4:4", "1920x1080,640x360", "50,3", "hevc,avc,hevc", ()),
         ("1:1", "1280x720,640x360", "25,3", "avc", ("--damage", "moov-lost")),
         # the proxy first, the main clip's movie box lost
         ("3:24", "640x360,1920x1080", "6,50", "avc", ("--damage", "moov-lost")),
         # the proxy's sound in 16-bit stereo, the main clip's in 24-bit four channels
         ("3:12", "640x360,1280x720", "3,25", "avc", ("--sound-format", "16x2,24x4", "--damage", "moov-lost"))]


def proxy_cards(seeds):
    cards = {}
    for seed in seeds:
        for i, (runs, video, mbps, codec, extra) in enumerate(PROXY):
            lost = "--damage" in extra
            cards["p%s-%s-%s-%d-s%d" % (runs, "+".join(v.split("x")[1] for v in video.split(",")), codec.split(",")[0],
                                      i, seed)] = (
                "--count", "2" if lost else "3", "--frames", "36,36,24", "--alternate", runs, "--jitter-runs",
                "--video", video, "--video-mbps", mbps, "--codec", codec, "--same-second", "--size-mib", "128",
                "--seed", str(seed * 10 + i)) + extra + (FORMAT if (seed + i) % 2 else ZEROED)
    return cards


def main(names):
    test = unittest.TestCase()
    more = ()
    for option in ("--sound-format", "--fps"):  # handed to the generator for every card
        if option in names:
            at = names.index(option)
            more, names = more + (option, names[at + 1]), names[:at] + names[at + 2:]
    cards = list(CARDS.items()) + list(UNEVEN.items())
    if names[:1] == ["--jittered"]:
        sound = names[3] if names[2:3] == ["--sound"] else "tone"
        cards, names = list(jittered([int(x) for x in names[1].split(",")], sound).items()), []
    if names[:1] == ["--proxy"]:
        cards, names = list(proxy_cards([int(x) for x in names[1].split(",")]).items()), names[2:]
    print("%-34s %5s %12s %7s %5s %9s %15s %7s" % ("card", "runs", "cuts v+s+k", "joined", "gaps", "whole/of",
                                                  "frames kept/on", "frames"))
    for name, options in cards:
        if names and not any(n in name for n in names):
            continue
        problems = []
        try:
            with harness.scratch():
                row = test_salvage.fragment_row(test, harness.make_card(None, *(options + more)), problems)
        except AssertionError as e:
            print("%-34s %s" % (name, str(e).splitlines()[0][:120]), flush=True)
            continue
        test_salvage.print_fragment_row(name, row)
        for p in problems:  # what the oracle finds wrong in a salvaged file
            print("    %s" % p, flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
