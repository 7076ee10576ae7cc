"""The engine's command line run against the real executable: every option rule, message and
exit code, the usage text and banner byte for byte, and the image never written."""
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import ENGINE as MENDORA, make_card, project_version, sha256
TAG = "2026-08-28-c52-syslink-ucrt64"

USAGE = """Mendora recovery {tag}

Usage:
  {prog} image.dsk [options]

Options:
  -o DIR                  output directory (default: sony_recovery_c)
  --work-dir DIR           workspace for cache/log/temp files
  --analysis-only         scan/map only, write no MP4
  --recover N             recover first N mapped clips (default: 1)
  --recover-all           recover all mapped clips
  --clip N                recover one XAVC candidate index
  --keep-metadata-track   retain Sony RTMD trak in output moov
  --no-validator          skip in-process AVC decode validation
  --no-salvage            write only the clips the documented rules recover
  --hash-image            SHA-256 of the image in the report (read by the raw scan)
  --chunk-mib N           raw scan chunk size MiB (default: 64)
  --no-progress           suppress raw scan progress
  -h, --help              show this help

The source image is always opened read-only.
"""


def run(args, cwd):
    p = subprocess.run([MENDORA] + args, cwd=cwd, capture_output=True, text=True, timeout=300)
    return p.returncode, p.stdout, p.stderr


class OnOneImage(unittest.TestCase):
    """Every test of a class runs on one image made by make_image; none may change it."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.image = cls.make_image(cls.dir)
        cls.image_hash = sha256(cls.image)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def tearDown(self):
        self.assertEqual(sha256(self.image), self.image_hash, "the source image was written")


class CommandLine(OnOneImage):
    @staticmethod
    def make_image(folder):
        image = os.path.join(folder, "card.img")
        with open(image, "wb") as f:
            f.truncate(8 * 1024 * 1024)
        subprocess.run(["mkfs.exfat", image], check=True, capture_output=True)
        return image

    def test_errors_and_help(self):
        img = self.image
        rows = [
            # name, arguments, exit code, standard error
            ("recover negative", ["--recover", "-1", img], 2, "ERROR: --recover cannot be negative\n"),
            ("clip zero", ["--clip", "0", img], 2, "ERROR: --clip must be positive\n"),
            ("clip text", ["--clip", "x", img], 2, "ERROR: --clip must be positive\n"),
            ("chunk-mib zero", ["--chunk-mib", "0", img], 2, "ERROR: invalid --chunk-mib\n"),
            ("chunk-mib 4097", ["--chunk-mib", "4097", img], 2, "ERROR: invalid --chunk-mib\n"),
            ("chunk-mib text", ["--chunk-mib", "big", img], 2, "ERROR: invalid --chunk-mib\n"),
            ("unknown option", ["--fast", img], 2, "ERROR: unknown option: --fast\n"),
            ("single dash", ["-", img], 2, "ERROR: unknown option: -\n"),
            ("-h with more letters", ["-help", img], 2, "ERROR: unknown option: -help\n"),
            ("-o last", [img, "-o"], 2, "ERROR: unknown option: -o\n"),
            ("--work-dir last", [img, "--work-dir"], 2, "ERROR: unknown option: --work-dir\n"),
            ("--gui with an image", ["--gui", img], 2, "ERROR: unknown option: --gui\n"),
            ("empty working folder", ["--work-dir", "", "--fast"], 2, "ERROR: unknown option: --fast\n"),
            ("empty working folder alone", ["--work-dir", "", img], 2, "ERROR: working directory is required\n"),
            ("error before help", ["--recover", "-1", "--help"], 2, "ERROR: --recover cannot be negative\n"),
            ("help before error", ["--help", "--recover", "-1"], 0, ""),
            ("missing image", [os.path.join(self.dir, "absent.img"), "--analysis-only"], 2,
             "ERROR: cannot open source image %s: No such file or directory\n" % os.path.join(self.dir, "absent.img")),
            ("folder as the image", [self.dir, "--analysis-only"], 2,
             "ERROR: cannot open source image %s: Is a directory\n" % self.dir),
        ]
        for name, args, code, err in rows:
            with self.subTest(name):
                rc, out, stderr = run(args, self.dir)
                self.assertEqual(rc, code)
                self.assertEqual(stderr, err)
                if code == 2:
                    self.assertNotIn("Usage:", out)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "sony_recovery_c")))

    def test_usage_text_byte_for_byte(self):
        for flag in ("-h", "--help"):
            rc, out, err = run([flag, "--fast"], self.dir)
            self.assertEqual((rc, err), (0, ""))
            self.assertEqual(out, USAGE.format(tag=TAG, prog=MENDORA))

    def test_no_arguments_or_gui_alone_ask_for_the_window(self):
        for args in ([], ["--gui"]):
            rc, out, err = run(args, self.dir)
            self.assertEqual(rc, 2)
            self.assertIn("graphical front end is not part of this build", err)

    def test_banner_and_analysis_only_creates_no_output_folder(self):
        out_dir = os.path.join(self.dir, "never")
        rc, out, err = run([self.image, "-o", out_dir, "--work-dir", self.dir, "--analysis-only"], self.dir)
        self.assertEqual((rc, err), (0, ""))
        banner = ("Mendora Recovery %s\nVersion: %s\nWork   : %s\nSource : %s\nOutput : %s\n\nSize   : %d bytes\n"
                  % (TAG, project_version(), self.dir, self.image, out_dir, os.path.getsize(self.image)))
        self.assertTrue(out.startswith(banner), out[:400])
        self.assertTrue(out.endswith("\nAnalysis complete. No MP4 files requested.\n"))
        self.assertFalse(os.path.exists(out_dir))

    def test_accepted_values_run_to_the_end(self):
        rows = [
            ("chunk-mib hexadecimal", ["--chunk-mib", "0x10", "--no-validator"]),
            ("chunk-mib octal", ["--chunk-mib", "010", "--no-validator"]),
            ("chunk-mib largest", ["--chunk-mib", "4096", "--no-validator"]),
            ("recover zero", ["--recover", "0", "--no-validator"]),
            ("recover text is zero", ["--recover", "many", "--no-validator"]),
            ("dash value for -o", ["-o", "-dash-folder", "--no-validator"]),
            ("second image wins", ["first.img", self.image, "--no-validator"]),
            ("clip with recover-all", ["--clip", "3", "--recover-all", "--no-validator"]),
        ]
        for name, extra in rows:
            with self.subTest(name):
                work = tempfile.mkdtemp(dir=self.dir)
                args = ([self.image] if "second image wins" != name else []) + extra + ["--work-dir", work]
                rc, out, err = run(args, work)
                self.assertEqual((rc, err), (0, ""))
                self.assertIn("Recovery queue: 0 files\n", out)
                self.assertIn("  videos written    : 0\n", out)
                if "-o" in extra:
                    self.assertTrue(os.path.isdir(os.path.join(work, "-dash-folder")))

    def test_new_folders_are_made_with_every_folder_above_them(self):
        # a user types a new path for the working and the output folder, as with any copying tool
        long_name = os.path.join(*["Nagrania łódź %02d" % i for i in range(16)])  # past 260 characters
        rows = [
            ("both new under a new folder", "new/w", "new/o"),
            ("deep, long and not ASCII", long_name + "/w", long_name + "/o"),
            ("trailing separators", "t/w//", "t/o/"),
        ]
        for name, work_dir, out_dir in rows:
            with self.subTest(name):
                base = tempfile.mkdtemp(dir=self.dir)
                work, out = os.path.join(base, work_dir), os.path.join(base, out_dir)
                rc, _, err = run([self.image, "--work-dir", work, "-o", out, "--no-validator", "--recover-all"], base)
                self.assertEqual((rc, err), (0, ""))
                self.assertTrue(os.path.isdir(work) and os.path.isdir(out))
                self.assertTrue(os.listdir(work), "the scan cache is in the working folder")

    def test_a_folder_that_cannot_be_made_says_which_part_and_why(self):
        base = tempfile.mkdtemp(dir=self.dir)
        with open(os.path.join(base, "a file"), "wb"):
            pass
        locked = os.path.join(base, "locked")
        os.mkdir(locked, 0o555)
        rows = [
            ("a file where a folder should be", ["-o", os.path.join(base, "a file", "x", "o")],
             "output directory %s: %s: Not a directory" % (os.path.join(base, "a file", "x", "o"),
                                                           os.path.join(base, "a file"))),
            ("the output folder is a file", ["-o", os.path.join(base, "a file")],
             "output directory %s: Not a directory" % os.path.join(base, "a file")),
            ("a working folder under a file", ["--work-dir", os.path.join(base, "a file", "w"), "-o", base],
             "working directory %s: %s: Not a directory" % (os.path.join(base, "a file", "w"),
                                                            os.path.join(base, "a file"))),
        ]
        if os.geteuid() != 0:  # root makes folders anywhere
            rows.append(("a folder that may not be written", ["-o", os.path.join(locked, "n", "o")],
                         "output directory %s: %s: Permission denied" % (os.path.join(locked, "n", "o"),
                                                                          os.path.join(locked, "n"))))
        for name, options, message in rows:
            with self.subTest(name):
                rc, _, err = run([self.image, "--no-validator"] + options, base)
                self.assertEqual((rc, err), (2, "ERROR: cannot create %s\n" % message))
        self.assertEqual(sorted(os.listdir(base)), ["a file", "locked"], "nothing was made on the way")


class RecoveryQueue(OnOneImage):
    """The validator check on a card with three recoverable clips (the queue modes are
    driver_queue_test's)."""

    @staticmethod
    def make_image(folder):
        return make_card("sample").image

    def recover(self, *options, engine=MENDORA):
        work = tempfile.mkdtemp(dir=self.dir)
        out_dir = os.path.join(work, "out")
        p = subprocess.run([engine, self.image, "--work-dir", work, "-o", out_dir, "--no-progress"] + list(options),
                           capture_output=True, text=True, timeout=300)
        written = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else None
        return p.returncode, p.stdout, p.stderr, written

    def test_validator_missing_beside_the_engine(self):
        alone = tempfile.mkdtemp(dir=self.dir)
        engine = os.path.join(alone, "mendora")
        shutil.copy(MENDORA, engine)
        rc, out, err, written = self.recover("--recover", "0", engine=engine)
        library = os.path.join(alone, "VeltoXAVCValidate.so")
        self.assertEqual(rc, 2)
        self.assertEqual(err, "ERROR: AVC validator unavailable: validator library not found beside application: "
                              "%s (error 2)\n" % library)
        self.assertNotIn("[6/6]", out)
        self.assertEqual(written, [])
        rc, out, err, written = self.recover("--no-validator", engine=engine)
        self.assertEqual((rc, err, [n for n in written if n.endswith(".MP4")]), (0, "", written[:1]))
        self.assertEqual(written[1:], ["mendora-report.html", "mendora-report.json"], "the report beside the clip")


if __name__ == "__main__":
    unittest.main()
