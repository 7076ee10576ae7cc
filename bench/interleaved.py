#!/usr/bin/env python3
"""Runs several commands in turn, round after round, each from a cold cache, and prints their
times against the first command's time of the same round.

interleaved.py --evict FILE [--rounds N] [--work-root DIR] -- NAME CMD... [-- NAME CMD...]...

Before every run: `sync` (what earlier runs left dirty is written before this one starts) and
FILE's pages dropped from the page cache (no root needed, the rest of the machine keeps its
cache). Every "@WORK@" in a command becomes a new empty folder under DIR, deleted after the run.
On a machine shared with other work the times of one command swing from run to run; a ratio of
two runs taken one after the other sees nearly the same machine, so the median of the ratios
says more than a ratio of medians. Prints one line per command: median and best wall seconds,
median CPU seconds, the median of its per-round ratios to the first command, and the wall
seconds of every round; then the load average before and after all rounds.
"""
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "scan"))
from best_of import run_once  # noqa: E402


def parse(args, defaults=None, numbers=("rounds",)):
    """The options before the first "--" (over `defaults`; those in `numbers` are integers) and
    the commands, each after a "--" and led by its name."""
    opts = dict(defaults or {"rounds": 5, "work_root": tempfile.gettempdir(), "evict": None})
    while args and args[0] != "--":
        key = args[0][2:].replace("-", "_")
        opts[key] = int(args[1]) if key in numbers else args[1]
        args = args[2:]
    commands, current = [], None
    for a in args:
        if a == "--":
            current = []
            commands.append(current)
        else:
            current.append(a)
    return opts, [(c[0], c[1:]) for c in commands]


def main():
    opts, commands = parse(sys.argv[1:])
    load_before = os.getloadavg()
    runs = {name: [] for name, _ in commands}
    for _ in range(opts["rounds"]):
        for name, cmd in commands:
            runs[name].append(run_once(cmd, opts["work_root"], evict=opts["evict"]))
    load_after = os.getloadavg()
    first = commands[0][0]
    for name, _ in commands:
        walls = [w for w, _ in runs[name]]
        ratios = [w / runs[first][i][0] for i, w in enumerate(walls)]
        print("%-40s median %7.3f s  best %7.3f s  (%5.2fx %s)  cpu %6.3f s" % (
            name, statistics.median(walls), min(walls), statistics.median(ratios), first,
            statistics.median(c for _, c in runs[name])))
        print("    rounds: " + " ".join("%.2f" % w for w in walls))
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %d rounds" % (
        load_before + load_after + (opts["rounds"],)))


if __name__ == "__main__":
    main()
