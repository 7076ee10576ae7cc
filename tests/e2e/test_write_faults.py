"""Faults around the engine on the sample card, one table row each: a full or read-only output
file system, no write permission, final names taken, an image that can only be read, a closed
standard output, hostile paths. Every clip ends written or with its message, the run goes on,
nothing half-written keeps a final name and no .partial is left."""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

import harness

NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def pages(size):
    return (size + 4095) // 4096


class Place:
    """A folder nobody can reach with a read-only copy of the image, a working folder nobody may
    write, and the mounts to undo."""

    def __init__(self, test, card):
        self.test, self.mounts, self.root = test, [], tempfile.mkdtemp(prefix="mendora-faults-")
        os.chmod(self.root, 0o755)
        self.image, self.out = os.path.join(self.root, "card.img"), os.path.join(self.root, "out")
        shutil.copyfile(card.image, self.image)
        os.chmod(self.image, 0o444)
        self.work = self.folder("work", nobody=True)

    def folder(self, name, nobody=False, mode=0o755):
        path = os.path.join(self.root, name)
        os.mkdir(path, mode)
        os.chmod(path, mode)
        nobody and shutil.chown(path, "nobody", "nogroup")
        return path

    def mount(self, *args):
        done = subprocess.run(["mount"] + list(args), capture_output=True, text=True)
        if done.returncode != 0:
            self.test.skipTest("mounting is refused here: %s" % done.stderr.strip())
        self.mounts.append(args[-1])

    def close(self):
        for target in reversed(self.mounts):
            subprocess.run(["umount", target], check=True)
        subprocess.run(["chattr", "-R", "-i", self.root], capture_output=True)
        shutil.rmtree(self.root)


def every_clip(recs, message=None):
    return {r["clip_number"]: message and message % r["output_name"] for r in recs}


def full_disk(clips, spare):
    """A tmpfs output that holds the first `clips` clips and `spare` pages more: the clips are
    written in order, a failed one frees its space."""
    def setup(place, recs):
        free = sum(pages(r["output_size"]) for r in recs[:clips]) + spare
        place.mount("-t", "tmpfs", "-o", "size=%d" % (free * 4096), "tmpfs", place.folder("out"))
        outcome = {}
        for rec in recs:
            fits = pages(rec["output_size"]) <= free
            outcome[rec["clip_number"]] = None if fits else "cannot resize output"
            free -= pages(rec["output_size"]) if fits else 0
        return {}, outcome
    return setup


def read_only_output(place, recs):
    place.mount("-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", place.folder("out"))
    return {}, every_clip(recs, "cannot create " + place.out + "/%s.partial: Read-only file system")


def no_write_permission(place, recs):
    place.folder("out", mode=0o555)
    return {"prefix": NOBODY}, every_clip(recs, "cannot create " + place.out + "/%s.partial: Permission denied")


def read_only_image_as_nobody(place, recs):
    place.folder("out", nobody=True)
    return {"prefix": NOBODY}, every_clip(recs)


def read_only_bind_mount(place, recs):
    place.mount("--bind", "-o", "ro", place.root, place.folder("image-ro"))
    return {"image": os.path.join(place.root, "image-ro", "card.img")}, every_clip(recs)


def taken_name(kind, message):
    """Clip 1's final name taken by a read-only file (replaced), an immutable file or a folder."""
    def setup(place, recs):
        path = os.path.join(place.folder("out"), recs[0]["output_name"])
        if kind == "folder":
            os.mkdir(path)
        else:
            with open(path, "wb") as f:
                f.write(b"kept")
            os.chmod(path, 0o444)
        if kind == "immutable" and subprocess.run(["chattr", "+i", path], capture_output=True).returncode:
            place.test.skipTest("chattr +i is refused here")
        return {}, {**every_clip(recs), 1: message}
    return setup


def closed_standard_output(place, recs):
    reader, place.pipe = os.pipe()
    os.close(reader)
    place.folder("out")
    return {"stdout": place.pipe}, every_clip(recs)


ROWS = [
    ("tmpfs one page short of clip 1", full_disk(1, -1)),
    ("tmpfs just the size of clip 1", full_disk(1, 0)),
    ("tmpfs one page over clip 1", full_disk(1, 1)),
    ("tmpfs one page short of clips 1 and 2", full_disk(2, -1)),
    ("tmpfs just the size of all clips", full_disk(3, 0)),
    ("tmpfs of 16 pages", full_disk(0, 16)),
    ("output on a read-only mount", read_only_output),
    ("output folder without write permission, run as nobody", no_write_permission),
    ("image with read-only permission bits, run as nobody", read_only_image_as_nobody),
    ("image through a read-only bind mount", read_only_bind_mount),
    ("read-only file with the final name", taken_name("read-only", None)),
    ("immutable file with the final name", taken_name("immutable", "rename failed: Operation not permitted")),
    ("folder with the final name", taken_name("folder", "rename failed: Is a directory")),
    ("standard output into a pipe closed by its reader", closed_standard_output),
]


class WriteFaults(unittest.TestCase):
    def test_each_clip_ends_written_or_with_its_message(self):
        card = harness.make_card("sample")
        recs = sorted(card.recordings, key=lambda r: r["clip_number"])
        self.assertEqual([r["clip_number"] for r in recs], [1, 2, 3])
        for name, setup in ROWS:
            with self.subTest(name):
                place = Place(self, card)
                try:
                    self.check_row(card, recs, place, *setup(place, recs))
                finally:
                    hasattr(place, "pipe") and os.close(place.pipe)
                    place.close()

    def check_row(self, card, recs, place, options, outcome):
        options.setdefault("image", place.image)
        options.setdefault("extra", harness.DOCUMENTED)
        run = harness.run_engine(self, card, validator=False, work_dir=place.work, out_dir=place.out, **options)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertEqual(run.stderr.splitlines(), ["clip %d: %s" % (n, m) for n, m in sorted(outcome.items()) if m])
        if "stdout" not in options:
            self.assertIn("  videos written    : %d\n" % list(outcome.values()).count(None), run.stdout)
        self.assertFalse([n for n in os.listdir(place.out) if n.endswith(".partial")], "a .partial was left")
        for rec in recs:
            path = os.path.join(place.out, rec["output_name"])
            if outcome[rec["clip_number"]] is None:
                harness.check_output_bytes(self, card, rec, path, False)
            elif os.path.lexists(path):  # only what held the name before the run
                self.assertTrue(os.path.isdir(path) or harness.read(path) == b"kept", "%s was written" % path)
        self.assertEqual(len(os.listdir(place.work)), 1, "the scan cache was written")


class HostilePaths(unittest.TestCase):
    def test_something_else_than_a_file_at_the_caches_name_and_a_folder_ending_in_a_backslash(self):
        card, root = harness.make_card("sample"), tempfile.mkdtemp(prefix="mendora-paths-")
        self.addCleanup(shutil.rmtree, root)
        cache = os.listdir(harness.run_engine(self, card, validator=False).work_dir)
        for name, make in [("folder", os.mkdir), ("pipe", os.mkfifo), ("backslash", None)]:
            with self.subTest(name):
                work = os.path.join(root, "w\\" if make is None else name)
                os.mkdir(work)
                make and make(os.path.join(work, cache[0]))
                run = harness.run_engine(self, card, validator=False, work_dir=work, timeout=120)
                self.assertEqual((run.code, run.stderr, os.listdir(work)), (0, "", cache))
                self.assertEqual(make is None, stat.S_ISREG(os.stat(os.path.join(work, cache[0])).st_mode))


if __name__ == "__main__":
    unittest.main()
