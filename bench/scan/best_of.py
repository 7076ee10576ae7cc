#!/usr/bin/env python3
"""Runs a command three times and prints the wall and CPU seconds of the fastest run.

best_of.py [--cold] [--evict FILE] [--rss] [--work-root DIR] -- CMD...
--cold drops the page cache before each run (root only); --evict drops only FILE's pages from
it, which needs no root and leaves the rest of the machine's cache alone. --rss adds a third
number: the largest resident set of any run, in MiB. Every "@WORK@" in CMD becomes a new empty
folder under DIR for each run, so no run finds the scan cache of another; it is deleted after
the run.
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def run_once(cmd, work_root, cold=False, evict=None):
    """One run of CMD from the cache state asked for; its wall and CPU seconds."""
    if cold:
        subprocess.run(["sync"], check=True)
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("1\n")
    if evict:
        subprocess.run(["sync"], check=True)
        fd = os.open(evict, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
    work = tempfile.mkdtemp(dir=work_root)
    run = [a.replace("@WORK@", work) for a in cmd]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(run, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    shutil.rmtree(work, True)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    args = sys.argv[1:]
    cold = False
    evict = None
    rss = False
    work_root = tempfile.gettempdir()
    while args and args[0] != "--":
        if args[0] == "--cold":
            cold = True
            args = args[1:]
        elif args[0] == "--evict":
            evict = args[1]
            args = args[2:]
        elif args[0] == "--rss":
            rss = True
            args = args[1:]
        elif args[0] == "--work-root":
            work_root = args[1]
            args = args[2:]
        else:
            sys.exit("unknown option " + args[0])
    cmd = args[1:]
    best = min(run_once(cmd, work_root, cold, evict) for _ in range(3))
    if rss:
        # the largest of all children so far: every run, and the tiny sync
        print("%.4f %.4f %.1f" % (best + (resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0,)))
    else:
        print("%.4f %.4f" % best)


if __name__ == "__main__":
    main()
