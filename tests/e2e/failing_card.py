"""A failing card for the tests: a FUSE file system that shows one image file, `card.img`, read
only, and answers every read that touches a chosen span with an I/O error, as a card reader does
for bad sectors. Mounted with direct_io, so every read the engine makes reaches it as made.

Run as a program (by Debian's /usr/bin/python3, which has fusepy):
    failing_card.py IMAGE MOUNTPOINT STATS --span OFFSET:LENGTH ... [--delay SECONDS]
It counts the failed reads (as FUSE sees them: the kernel may split one read of the engine into
several requests and stops at the first that fails) and the bytes read, and keeps both in STATS
as JSON after every read. The test side: `FailingMount`."""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with python3-fusepy


def fuse_usable():
    """Why a failing mount cannot be made here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if os.geteuid() != 0:
        return "mounting needs root"
    done = subprocess.run([SYSTEM_PYTHON, "-c", "import fusepy"], capture_output=True)
    if done.returncode != 0:
        return "python3-fusepy is not installed"
    return None


class FailingMount:
    """Context manager: the image shown through a failing mount; `path` is the file to read."""

    def __init__(self, image, spans, folder, delay=0.0):
        self.image, self.spans, self.delay = image, spans, delay
        self.mountpoint = os.path.join(folder, "mnt")
        self.stats_path = os.path.join(folder, "stats.json")
        self.path = os.path.join(self.mountpoint, "card.img")
        self.process = None

    def __enter__(self):
        os.makedirs(self.mountpoint, exist_ok=True)
        args = [SYSTEM_PYTHON, os.path.join(HERE, "failing_card.py"), self.image, self.mountpoint, self.stats_path]
        for offset, length in self.spans:
            args += ["--span", "%d:%d" % (offset, length)]
        args += ["--delay", str(self.delay)]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # however busy the machine, the mount appears unless its process ends: only that ends the wait
        while not os.path.exists(self.path):
            if self.process.poll() is not None:
                raise AssertionError("the failing mount did not start: %s" % self.process.stderr.read().decode())
            time.sleep(0.05)
        return self

    def stats(self):
        with open(self.stats_path) as f:
            return json.load(f)

    def reset(self):
        """Counts from zero again."""
        with open(self.stats_path, "w") as f:
            json.dump({"failed_reads": 0, "bytes_read": 0, "reset": True}, f)

    def __exit__(self, *exc):
        subprocess.run(["fusermount3", "-u", self.mountpoint], capture_output=True)
        subprocess.run(["fusermount", "-u", self.mountpoint], capture_output=True)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        return False


def serve(image, mountpoint, stats_path, spans, delay):
    import errno
    import stat
    import fusepy

    size = os.path.getsize(image)
    fd = os.open(image, os.O_RDONLY)
    counts = {"failed_reads": 0, "bytes_read": 0}

    def save():
        if os.path.exists(stats_path):
            try:
                with open(stats_path) as f:
                    if json.load(f).get("reset"):
                        counts["failed_reads"] = counts["bytes_read"] = 0
            except ValueError:
                pass
        tmp = stats_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(counts, f)
        os.replace(tmp, stats_path)

    class Card(fusepy.Operations):
        def getattr(self, path, fh=None):
            if path == "/":
                return {"st_mode": stat.S_IFDIR | 0o555, "st_nlink": 2}
            if path == "/card.img":
                return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": size}
            raise fusepy.FuseOSError(errno.ENOENT)

        def readdir(self, path, fh):
            return [".", "..", "card.img"]

        def open(self, path, flags):
            if path != "/card.img":
                raise fusepy.FuseOSError(errno.ENOENT)
            if flags & (os.O_WRONLY | os.O_RDWR):
                raise fusepy.FuseOSError(errno.EROFS)
            return 0

        def read(self, path, length, offset, fh):
            end = min(size, offset + length)
            if any(offset < s + n and s < end for s, n in spans):
                counts["failed_reads"] += 1
                save()
                if delay:
                    time.sleep(delay)
                raise fusepy.FuseOSError(errno.EIO)
            data = os.pread(fd, max(0, end - offset), offset)
            counts["bytes_read"] += len(data)
            save()
            return data

    save()
    fusepy.FUSE(Card(), mountpoint, foreground=True, ro=True, direct_io=True, nothreads=True)


def main():
    args = sys.argv[1:]
    image, mountpoint, stats_path = args[:3]
    spans, delay, i = [], 0.0, 3
    while i < len(args):
        if args[i] == "--span":
            offset, length = args[i + 1].split(":")
            spans.append((int(offset, 0), int(length, 0)))
        elif args[i] == "--delay":
            delay = float(args[i + 1])
        i += 2
    serve(image, mountpoint, stats_path, spans, delay)


if __name__ == "__main__":
    main()
