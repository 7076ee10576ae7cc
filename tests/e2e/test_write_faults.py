"""Faults around the engine on the sample card, one table row each: a full or read-only output
file system, a folder without write permission, names taken by what cannot be replaced, an image
that can only be read, a closed standard output, hostile paths. Every clip ends written or with its
message, the run goes on, nothing half-written keeps a final name and no .partial is left."""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

import harness

PAGE = 4096
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def pages(size):
    return (size + PAGE - 1) // PAGE


class Place:
    """A folder that nobody can reach, with the card's image, a working folder and mounts undone at
    the end."""

    def __init__(self, test, card):
        self.root = tempfile.mkdtemp(prefix="mendora-faults-")
        os.chmod(self.root, 0o755)
        self.test, self.mounts = test, []
        self.image = os.path.join(self.root, "card.img")
        shutil.copyfile(card.image, self.image)
        os.chmod(self.image, 0o444)
        self.work = self.folder("work", owner_nobody=True)
        self.out = os.path.join(self.root, "out")

    def folder(self, name, owner_nobody=False, mode=0o755):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        if owner_nobody:
            shutil.chown(path, "nobody", "nogroup")
        return path

    def mount(self, *args):
        target = args[-1]
        done = subprocess.run(["mount"] + list(args), capture_output=True, text=True)
        if done.returncode != 0:
            self.test.skipTest("mounting is refused here: %s" % done.stderr.strip())
        self.mounts.append(target)

    def close(self):
        for target in reversed(self.mounts):
            subprocess.run(["umount", target], check=True)
        subprocess.run(["chattr", "-R", "-i", self.root], capture_output=True)
        shutil.rmtree(self.root)


def full_disk(clips, spare):
    """A tmpfs output that holds the first `clips` clips with `spare` pages more (negative: too
    small), and what each clip then gives: they are written in order, a failed one frees its space."""
    def setup(place, card, recs):
        free = sum(pages(r["output_size"]) for r in recs[:clips]) + spare
        place.folder("out")
        place.mount("-t", "tmpfs", "-o", "size=%d" % (free * PAGE), "tmpfs", place.out)
        outcome = {}
        for rec in recs:
            need = pages(rec["output_size"])
            outcome[rec["clip_number"]] = None if need <= free else "cannot resize output"
            free -= need if need <= free else 0
        return {}, outcome
    return setup


def read_only_output(place, card, recs):
    place.folder("out")
    place.mount("-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", place.out)
    return {}, {r["clip_number"]: "cannot create %s.partial: Read-only file system"
                % os.path.join(place.out, r["output_name"]) for r in recs}


def no_write_permission(place, card, recs):
    place.folder("out", mode=0o555)
    return {"prefix": NOBODY}, {r["clip_number"]: "cannot create %s.partial: Permission denied"
                                % os.path.join(place.out, r["output_name"]) for r in recs}


def read_only_image_as_nobody(place, card, recs):
    place.folder("out", owner_nobody=True)
    return {"prefix": NOBODY}, {r["clip_number"]: None for r in recs}


def read_only_bind_mount(place, card, recs):
    folder = place.folder("image-ro")
    place.mount("--bind", "-o", "ro", place.root, folder)
    return {"image": os.path.join(folder, "card.img")}, {r["clip_number"]: None for r in recs}


def taken_name(kind):
    """Clip 1's final name already taken: a read-only file is replaced, an immutable file and a
    folder stay and the rename fails."""
    def setup(place, card, recs):
        path = os.path.join(place.folder("out"), recs[0]["output_name"])
        if kind == "folder":
            os.mkdir(path)
        else:
            with open(path, "wb") as f:
                f.write(b"kept")
            os.chmod(path, 0o444)
        message = {"read-only": None, "immutable": "rename failed: Operation not permitted",
                   "folder": "rename failed: Is a directory"}[kind]
        if kind == "immutable" and subprocess.run(["chattr", "+i", path], capture_output=True).returncode:
            place.test.skipTest("chattr +i is refused here")
        outcome = {r["clip_number"]: None for r in recs}
        outcome[recs[0]["clip_number"]] = message
        return {}, outcome
    return setup


def closed_standard_output(place, card, recs):
    reader, writer = os.pipe()
    os.close(reader)
    place.pipe = writer
    return {"stdout": writer}, {r["clip_number"]: None for r in recs}


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
    ("read-only file with the final name", taken_name("read-only")),
    ("immutable file with the final name", taken_name("immutable")),
    ("folder with the final name", taken_name("folder")),
    ("standard output into a pipe closed by its reader", closed_standard_output),
]


class WriteFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.card = harness.make_card("sample")
        cls.recs = sorted(cls.card.recordings, key=lambda r: r["clip_number"])

    def test_each_clip_ends_written_or_with_its_message(self):
        for name, setup in ROWS:
            with self.subTest(name):
                place = Place(self, self.card)
                try:
                    self.check_row(place, setup)
                finally:
                    os.close(place.pipe) if hasattr(place, "pipe") else None
                    place.close()

    def check_row(self, place, setup):
        options, outcome = setup(place, self.card, self.recs)
        options.setdefault("image", place.image)
        run = harness.run_engine(self, self.card, validator=False, work_dir=place.work, out_dir=place.out, **options)
        self.assertEqual(run.code, 0, run.stderr)
        messages = ["clip %d: %s" % (n, m) for n, m in sorted(outcome.items()) if m]
        self.assertEqual(run.stderr.splitlines(), messages)
        if "stdout" not in options:
            self.assertIn("  videos written    : %d\n" % list(outcome.values()).count(None), run.stdout)
        names = os.listdir(place.out)
        self.assertFalse([n for n in names if n.endswith(".partial")], "a .partial file was left behind")
        for rec in self.recs:
            path = os.path.join(place.out, rec["output_name"])
            if outcome[rec["clip_number"]] is None:
                harness.check_output_bytes(self, self.card, rec, path, False)
            elif os.path.lexists(path):  # only what held the name before the run
                self.assertTrue(os.path.isdir(path) or harness.read(path) == b"kept", "%s was written" % path)
        self.assertEqual(len(os.listdir(place.work)), 1, "the scan cache was written")


class HostilePaths(unittest.TestCase):
    """Paths that are not what the engine expects: a folder as the image, something else than a
    file at the scan cache's name, a working folder whose name ends in a backslash."""

    def test_paths(self):
        card = harness.make_card("sample")
        root = tempfile.mkdtemp(prefix="mendora-paths-")
        self.addCleanup(shutil.rmtree, root)
        done = subprocess.run([harness.ENGINE, root, "--analysis-only", "--work-dir", root], capture_output=True,
                              text=True, timeout=120)
        self.assertEqual((done.returncode, done.stderr),
                         (2, "ERROR: cannot open source image %s: Is a directory\n" % root))
        first = harness.run_engine(self, card, validator=False)
        cache = os.listdir(first.work_dir)
        self.assertEqual(len(cache), 1)
        rows = [("folder", os.mkdir), ("pipe", os.mkfifo)]
        for name, make in rows:
            with self.subTest("a %s at the scan cache's name" % name):
                work = tempfile.mkdtemp(dir=root)
                make(os.path.join(work, cache[0]))
                run = harness.run_engine(self, card, validator=False, work_dir=work, timeout=120)
                self.assertEqual((run.code, run.stderr), (0, ""))
                self.assertEqual(os.listdir(work), cache)
                self.assertFalse(stat.S_ISREG(os.stat(os.path.join(work, cache[0])).st_mode))
        with self.subTest("working folder ending in a backslash"):
            work = os.path.join(root, "w\\")
            os.mkdir(work)
            run = harness.run_engine(self, card, validator=False, work_dir=work)
            self.assertEqual((run.code, sorted(os.listdir(work))), (0, cache))


if __name__ == "__main__":
    unittest.main()
