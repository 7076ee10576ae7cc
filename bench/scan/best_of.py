#!/usr/bin/env python3
"""Runs a command three times and prints the wall and CPU seconds of the fastest run.

best_of.py [--cold] [--work-root DIR] -- CMD...
--cold drops the page cache before each run (root only). Every "@WORK@" in CMD becomes a new
empty folder under DIR for each run, so no run finds the scan cache of another.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time


def main():
    args = sys.argv[1:]
    cold = False
    work_root = tempfile.gettempdir()
    while args and args[0] != "--":
        if args[0] == "--cold":
            cold = True
            args = args[1:]
        elif args[0] == "--work-root":
            work_root = args[1]
            args = args[2:]
        else:
            sys.exit("unknown option " + args[0])
    cmd = args[1:]
    best = None
    for _ in range(3):
        if cold:
            subprocess.run(["sync"], check=True)
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("1\n")
        work = tempfile.mkdtemp(dir=work_root)
        run = [a.replace("@WORK@", work) for a in cmd]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(run, check=True, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if best is None or wall < best[0]:
            best = (wall, cpu)
    print("%.4f %.4f" % best)


main()
