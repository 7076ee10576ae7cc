#!/usr/bin/env python3
"""Runs several commands in turn, round after round, each from a cold cache inside a memory
cgroup, and prints what each read from the device, wrote, how long it took and its peak memory.

measure.py --evict FILE [--rounds N] [--cap-mib M] [--work-root DIR] -- NAME CMD... [-- NAME CMD...]...

Before every run: `sync` and FILE's pages dropped from the page cache. Every run starts in a new
empty folder under DIR (its working directory; "@WORK@" in a command names it), deleted after
the run; "@OUT:NAME@" becomes the bytes the command NAME left in its folder earlier in the same
round. With --cap-mib, every run happens inside a memory cgroup capped at M MiB (made here and
removed at the end; needs root), so that the page cache cannot hold FILE whatever its size and
the machine's memory. Per run, from /proc/<pid>/io read just before the process is reaped:
`read_bytes` (what the device delivered) and `rchar` (what the process asked of any file through
its read calls); from wait4 the largest resident set. Prints per command the medians and every
round, and the ratio of each command's wall time to the first command's in the same round.
Round r starts with the command r places down the list and goes round from there, so that no tool
is always the first to write after the last one's outputs were deleted (a disk mounted with
`discard` can be slow just then); "@OUT:NAME@" then takes NAME's bytes from the round before
when NAME has not yet run in this one.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
import shutil

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import interleaved  # noqa: E402


def parse(args):
    return interleaved.parse(args, {"rounds": 3, "work_root": tempfile.gettempdir(), "evict": None, "cap_mib": 0},
                             ("rounds", "cap_mib"))


def make_cgroup(cap_mib):
    """A memory cgroup capped at cap_mib; its cgroup.procs path and its folder."""
    name = "mendora-bench-%d" % os.getpid()
    if os.path.exists("/sys/fs/cgroup/cgroup.controllers"):  # cgroup v2
        folder, limit = "/sys/fs/cgroup/" + name, "memory.max"
    else:
        folder, limit = "/sys/fs/cgroup/memory/" + name, "memory.limit_in_bytes"
    os.mkdir(folder)
    with open(os.path.join(folder, limit), "w") as f:
        f.write(str(cap_mib << 20))
    return os.path.join(folder, "cgroup.procs"), folder


def io_counters(pid):
    out = {}
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            key, value = line.split(":")
            out[key] = int(value)
    return out


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(folder) for n in names)


def run_once(cmd, work_root, evict, procs):
    subprocess.run(["sync"], check=True)
    fd = os.open(evict, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    work = tempfile.mkdtemp(dir=work_root)
    run = [a.replace("@WORK@", work) for a in cmd]

    def enter_cgroup():
        if procs:
            with open(procs, "w") as f:
                f.write(str(os.getpid()))

    t0 = time.perf_counter()
    p = subprocess.Popen(run, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         preexec_fn=enter_cgroup)
    # wait for the end without reaping, so that its counters can still be read
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)
    wall = time.perf_counter() - t0
    io = io_counters(p.pid)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    wrote = folder_bytes(work)
    shutil.rmtree(work, True)
    if p.returncode != 0:
        sys.exit("%s failed with %d" % (" ".join(run), p.returncode))
    return {"wall": wall, "read": io["read_bytes"], "rchar": io["rchar"], "wchar": io["wchar"],
            "peak": usage.ru_maxrss / 1024.0, "out": wrote, "cpu": usage.ru_utime + usage.ru_stime}


def main():
    opts, commands = parse(sys.argv[1:])
    size = os.path.getsize(opts["evict"])
    procs = folder = None
    if opts["cap_mib"]:
        procs, folder = make_cgroup(opts["cap_mib"])
    load_before = os.getloadavg()
    runs = {name: [] for name, _ in commands}
    try:
        done = {}
        for round_number in range(opts["rounds"]):
            start = round_number % len(commands)
            for name, cmd in commands[start:] + commands[:start]:
                for other, r in done.items():
                    cmd = [a.replace("@OUT:%s@" % other, str(r["out"])) for a in cmd]
                done[name] = run_once(cmd, opts["work_root"], opts["evict"], procs)
                runs[name].append(done[name])
    finally:
        if folder:
            os.rmdir(folder)
    load_after = os.getloadavg()
    first = commands[0][0]
    print("image %d bytes (%.2f GiB); %s" % (size, size / 2**30, "memory cgroup capped at %d MiB" % opts["cap_mib"]
                                               if opts["cap_mib"] else "no memory cap"))
    print("%-22s %9s %7s %9s %9s %9s %9s %9s" % ("tool", "wall s", "x " + first, "cpu s", "read/img", "rchar/img",
                                                 "wrote GB", "peak MiB"))
    for name, _ in commands:
        rs = runs[name]
        med = lambda k: statistics.median(r[k] for r in rs)
        ratio = statistics.median(r["wall"] / runs[first][i]["wall"] for i, r in enumerate(rs))
        print("%-22s %9.2f %7.2f %9.2f %9.3f %9.3f %9.2f %9.1f" % (
            name, med("wall"), ratio, med("cpu"), med("read") / size, med("rchar") / size, med("out") / 1e9,
            max(r["peak"] for r in rs)))
    print("wall seconds per round:")
    for name, _ in commands:
        print("  %-20s %s" % (name, " ".join("%.2f" % r["wall"] for r in runs[name])))
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %d rounds" % (
        load_before + load_after + (opts["rounds"],)))


if __name__ == "__main__":
    main()
