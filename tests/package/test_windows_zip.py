"""The Windows zip as a user gets it: it holds exactly the files its README.txt lists, the program
carries the version in its version resource, and unzipped into a folder whose path has a space and
a non-ASCII character, in a Wine prefix made for this test alone, mendora.exe recovers a sample
card with the decode check of the DLL beside it. Beside it, the FFmpeg source zip holds the source
package its .dsc names, the configuration and the validator's source."""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

import packages
from packages import harness

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_runner  # noqa: E402

ZIP = packages.package("mendora-{version}-win64.zip")
SOURCE_ZIP = packages.package("mendora-{version}-win64-ffmpeg-source.zip")
FOLDER = "Clips récupérés"
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def listed_files(readme):
    """The file names under the README's "This folder holds" heading, up to the next empty line."""
    lines = readme.splitlines()
    start = lines.index("This folder holds") + 2
    end = lines.index("", start)
    return [line.split()[0] for line in lines[start:end]]


def readme_commands(folder, heading):
    """The indented command lines of a README section, as one shell script."""
    with open(os.path.join(folder, "README.txt")) as f:
        lines = f.read().splitlines()
    at = lines.index(heading)
    while not lines[at].startswith("    "):
        at += 1
    end = at
    while lines[end].startswith("    "):
        end += 1
    return "\n".join(line[4:] for line in lines[at:end])


def fixed_file_version(exe):
    """The four numbers of the file version in the version resource's fixed part."""
    at = exe.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack("<II", exe[at + 8:at + 16])
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip = zipfile.ZipFile(ZIP)
        cls.readme = cls.zip.read("README.txt").decode("ascii")

    def test_holds_exactly_what_the_readme_lists(self):
        self.assertEqual(sorted(self.zip.namelist()), sorted(listed_files(self.readme.replace("\r\n", "\n"))))
        self.assertNotIn("\n", self.readme.replace("\r\n", ""), "README.txt has Windows line ends")
        self.assertIn("Mendora Recovery %s for Windows" % packages.VERSION, self.readme)
        self.assertIn(os.path.basename(SOURCE_ZIP), self.readme)

    def test_program_carries_the_version(self):
        exe = self.zip.read("mendora.exe")
        numbers = tuple(int(n) for n in packages.VERSION.split(".")) + (0,)
        self.assertEqual(fixed_file_version(exe), numbers)
        for name in ("FileVersion", "ProductVersion"):
            self.assertIn((name + "\0").encode("utf-16-le"), exe)
        self.assertIn(("%s\0" % packages.VERSION).encode("utf-16-le"), exe)

    def test_source_zip_holds_the_source_package_and_the_configuration(self):
        source = zipfile.ZipFile(SOURCE_ZIP)
        names = source.namelist()
        dsc = [n for n in names if n.endswith(".dsc")]
        self.assertEqual(len(dsc), 1, names)
        # the exact source: every file the signed description names, with its checksum
        described = re.findall(r"^ ([0-9a-f]{64}) \d+ (\S+)$",
                               source.read(dsc[0]).decode().split("Checksums-Sha256:")[1], re.M)
        self.assertTrue(any(n.endswith(".orig.tar.xz") for _, n in described), described)
        for digest, name in described:
            self.assertIn(name, names)
            self.assertEqual(hashlib.sha256(source.read(name)).hexdigest(), digest, name)
        for name in ("README.txt", "COPYING.LGPLv2.1", "configure-options.txt", "validator/library/velto_validate.cpp",
                     "validator/library/velto_validate.h", "validator/validator_api.h", "basics/byte_order.h"):
            self.assertIn(name, names)
        licence = b"GNU LESSER GENERAL PUBLIC LICENSE\r\n                       Version 2.1"
        self.assertTrue(self.zip.read("LICENSE-FFmpeg.txt").lstrip().startswith(licence))

    def test_validator_relinks_from_the_source_zip_as_its_readme_says(self):
        folder = tempfile.mkdtemp(prefix="ffmpeg-source-", dir=harness._root)
        with zipfile.ZipFile(SOURCE_ZIP) as source:
            source.extractall(folder)
        # the FFmpeg its README builds first: the one this machine built from the same source
        prefix = subprocess.run(["bash", os.path.join(ROOT, "scripts", "build-ffmpeg-mingw.sh")], capture_output=True,
                                text=True, check=True).stdout.splitlines()[-1]
        os.symlink(prefix, os.path.join(folder, "ffmpeg-mingw"))
        done = subprocess.run(["bash", "-euc", readme_commands(folder, "Rebuilding the validator DLL against it")],
                              cwd=folder, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        dll = harness.read(os.path.join(folder, "VeltoXAVCValidate.dll"))
        for name in ("velto_xavc_get_abi", "velto_xavc_open", "velto_xavc_push", "velto_xavc_finish",
                     "velto_xavc_get_result", "velto_xavc_close"):
            self.assertTrue((name + "\0").encode() in dll, "%s is not exported" % name)

    def test_unzipped_under_a_space_and_an_accent_recovers_a_card_in_a_fresh_prefix(self):
        root = tempfile.mkdtemp(prefix="windows-zip-", dir=harness._root)
        folder = os.path.join(root, FOLDER)
        self.zip.extractall(folder)
        card = harness.make_card("sample")
        before = harness.sha256(card.image)
        work, out = os.path.join(root, "work"), os.path.join(root, "recovered")
        os.mkdir(work)
        env = dict(wine_runner.wine_env(), WINEPREFIX=os.path.join(root, "prefix"))
        wine = wine_runner.wine_program("wine64")
        if not wine:
            self.skipTest("no wine64 program found")
        try:
            self.assertIsNone(wine_runner.boot_prefix(env))
            # started from another folder: the DLL is found beside the program, not in the current folder
            done = subprocess.run([wine, os.path.join(folder, "mendora.exe"), wine_runner.win_path(card.image),
                                   "--work-dir", wine_runner.win_path(work), "-o", wine_runner.win_path(out),
                                   "--recover-all", "--no-progress"] + list(harness.DOCUMENTED),
                                  capture_output=True, env=env, cwd=work, timeout=600)
        finally:
            subprocess.run([wine_runner.wine_program("wineserver") or "wineserver", "-k"], env=env,
                           capture_output=True, timeout=60)
        stdout, stderr = (s.decode("utf-8", "replace").replace("\r\n", "\n") for s in (done.stdout, done.stderr))
        self.assertEqual(harness.sha256(card.image), before, "the engine changed the source image")
        self.assertEqual(done.returncode, 0, stderr)
        expected = card.written(True)
        self.assertEqual(sorted(os.listdir(out)), sorted(expected), stdout + stderr)
        self.assertEqual(stdout.count("  AVC validation PASS: "), len(expected), stdout)
        for name, rec in expected.items():
            harness.check_output_bytes(self, card, rec, os.path.join(out, name), False)
            self.assertEqual(harness.decode_messages(os.path.join(out, name)), "")


if __name__ == "__main__":
    unittest.main()
