#!/usr/bin/env python3
"""At the card reader's speed (as root): a card image shown as a read-only loop device whose reads
a blkio cgroup throttles (cgroup v1 blkio.throttle.read_bps_device, or v2 io.max), read cold by
`cat`, the engine with and without the decode check and PhotoRec, against ffmpeg decoding the
same recordings from cached files on every core (the decode check's own floor).

    python3 bench/reader/run.py CARD.img [--build DIR] [--reference DIR] [--rates 90,300] [--rounds N]
                                [--work DIR] [--only NAME,...]

With --reference, the engine (and its validator library) in DIR runs too, in the same rounds: an
earlier build to compare with. With --only, just the commands named (e.g. "cat,mendora --no-validator,photorec";
`cat` always runs, the ratios need it). The rates are in MB/s (10^6 bytes). Before every timed run: sync, the page cache dropped, the
device's buffers flushed. Rounds are interleaved: every command once per round and rate, each
round starting with the next command. Prints a
Markdown table: median wall seconds, peak MiB, and each command against `cat` of the same round
and against max(`cat`, ffmpeg), the floor of a run that checks every clip's decode.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

BLKIO_V1 = "/sys/fs/cgroup/blkio"
UNIFIED = ["/sys/fs/cgroup/unified", "/sys/fs/cgroup"]


def options(argv):
    opts = {"build": "build", "reference": None, "rates": "90,300", "rounds": "1", "work": tempfile.gettempdir(),
            "only": None}
    card = None
    while argv:
        if argv[0].startswith("--"):
            opts[argv[0][2:]] = argv[1]
            argv = argv[2:]
        else:
            card, argv = argv[0], argv[1:]
    if not card:
        sys.exit(__doc__)
    return card, opts


class Throttle:
    """A cgroup whose reads of one device go at a set rate; commands run inside it."""

    def __init__(self, device):
        st = os.stat(device)
        self.dev = "%d:%d" % (os.major(st.st_rdev), os.minor(st.st_rdev))
        self.path, self.v2 = None, False
        if os.path.exists(os.path.join(BLKIO_V1, "blkio.throttle.read_bps_device")):
            self.path = os.path.join(BLKIO_V1, "mendora-reader-bench")
        else:
            for root in UNIFIED:
                if "io" in open(os.path.join(root, "cgroup.controllers")).read().split():
                    self.path, self.v2 = os.path.join(root, "mendora-reader-bench"), True
                    with open(os.path.join(root, "cgroup.subtree_control"), "w") as f:
                        f.write("+io")
                    break
        if not self.path:
            sys.exit("no blkio (v1) or io (v2) cgroup controller to throttle with")
        os.makedirs(self.path, exist_ok=True)
        self.kind = "cgroup v2 io.max" if self.v2 else "cgroup v1 blkio.throttle.read_bps_device"

    def rate(self, mb_per_s):
        bps = int(mb_per_s * 1000000)
        if self.v2:
            with open(os.path.join(self.path, "io.max"), "w") as f:
                f.write("%s rbps=%d\n" % (self.dev, bps))
        else:
            with open(os.path.join(self.path, "blkio.throttle.read_bps_device"), "w") as f:
                f.write("%s %d\n" % (self.dev, bps))

    def wrap(self, cmd):
        """`cmd` run in the cgroup under GNU time (wall seconds and peak KiB on the last line)."""
        return ["sh", "-c", 'echo $$ > "%s/cgroup.procs" && exec /usr/bin/time -f "%%e %%M" "$@"' % self.path,
                "sh"] + cmd

    def remove(self):
        try:
            os.rmdir(self.path)
        except OSError:
            pass


def cold(device):
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")
    subprocess.run(["blockdev", "--flushbufs", device], check=True)


def timed(cmd, log):
    with open(log, "ab") as out:
        done = subprocess.run(cmd, stdout=out, stderr=subprocess.PIPE)
    last = done.stderr.decode(errors="replace").strip().splitlines()[-1]
    wall, kib = last.split()
    if done.returncode != 0:
        print("  (exit %d: %s)" % (done.returncode, " ".join(cmd[-6:])), file=sys.stderr)
    return float(wall), int(kib) / 1024.0


def main():
    card, opts = options(sys.argv[1:])
    build = os.path.abspath(opts["build"])
    engine = os.path.join(build, "mendora")
    rates = [float(r) for r in opts["rates"].split(",")]
    work = tempfile.mkdtemp(prefix="reader-bench-", dir=opts["work"])
    device = subprocess.run(["losetup", "-r", "-f", "--show", card], check=True, capture_output=True,
                            text=True).stdout.strip()
    throttle = Throttle(device)
    log = os.path.join(work, "runs.log")
    try:
        # the recordings the decode check sees, as files: one unthrottled run, kept in the cache
        clips = os.path.join(work, "clips")
        subprocess.run([engine, card, "--work-dir", clips, "-o", clips, "--recover-all", "--no-progress",
                        "--no-validator"], check=True, stdout=subprocess.DEVNULL)
        recordings = sorted(os.path.join(clips, f) for f in os.listdir(clips) if f.endswith(".MP4"))
        ffmpeg = ["sh", "-c", 'for f; do ffmpeg -v error -threads 0 -i "$f" -map 0:v -f null - || exit 1; done',
                  "sh"] + recordings
        run_dir = os.path.join(work, "run")
        commands = [("cat", ["sh", "-c", 'cat "$0" >/dev/null', device])]
        engines = [("mendora", engine)]
        if opts["reference"]:
            engines.append(("reference", os.path.join(os.path.abspath(opts["reference"]), "mendora")))
        for name, program in engines:
            run = [program, device, "--work-dir", run_dir, "-o", run_dir, "--recover-all", "--no-progress"]
            commands += [(name, run), (name + " --no-validator", run + ["--no-validator"])]
        if shutil.which("photorec"):
            commands.append(("photorec", ["sh", "-c", 'cd "$1" && photorec /log /d "$1/recup" /cmd "$0" '
                                          'partition_none,fileopt,everything,disable,mov,enable,search',
                                          device, run_dir]))
        floor = "ffmpeg -threads 0 (cached files)"
        if opts["only"]:
            wanted = set(opts["only"].split(",")) | {"cat"}
            commands = [(n, c) for n, c in commands if n in wanted]
        times = {(r, n): [] for r in rates for n, _ in commands + [(floor, None)]}
        for round_number in range(int(opts["rounds"])):
            # each round starts with another command: the first runs after a cache drop the others
            # find settled, and the order must not favour one of them
            turn = round_number % len(commands)
            for r in rates:
                throttle.rate(r)
                for name, cmd in commands[turn:] + commands[:turn]:
                    shutil.rmtree(run_dir, ignore_errors=True)
                    os.makedirs(run_dir)
                    cold(device)
                    times[(r, name)].append(timed(throttle.wrap(cmd), log))
                if opts["only"] and floor not in wanted:
                    times[(r, floor)].append((0.0, 0.0))
                    continue
                # the recordings cached, as the decode check finds them behind a scan
                subprocess.run(["cat"] + recordings, stdout=subprocess.DEVNULL, check=True)
                times[(r, floor)].append(timed(throttle.wrap(ffmpeg), log))
        print("card %s (%d MiB, %d recordings), %s, %s rounds, %d cores" % (
            os.path.basename(card), os.path.getsize(card) >> 20, len(recordings), throttle.kind, opts["rounds"],
            os.cpu_count()))
        print()
        print("| MB/s | command | wall s | peak MiB | x cat | x max(cat, ffmpeg) |")
        print("|---:|---|---:|---:|---:|---:|")
        for r in rates:
            cat = [w for w, _ in times[(r, "cat")]]
            ff = [w for w, _ in times[(r, "ffmpeg -threads 0 (cached files)")]]
            for name in [n for (rr, n) in times if rr == r]:
                walls = [w for w, _ in times[(r, name)]]
                if not any(walls):
                    continue  # not run
                peak = max(m for _, m in times[(r, name)])
                x_cat = statistics.median(w / c for w, c in zip(walls, cat))
                x_floor = statistics.median(w / max(c, f) for w, c, f in zip(walls, cat, ff))
                print("| %g | %s | %.2f | %.1f | %.2f | %.2f |" % (r, name, statistics.median(walls), peak, x_cat,
                                                                  x_floor))
    finally:
        subprocess.run(["losetup", "-d", device])
        throttle.remove()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
