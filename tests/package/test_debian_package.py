"""The Debian package as a user gets it: dpkg installs it, mendora runs from the PATH through its
link in /usr/bin and finds its validator in /usr/lib/mendora, it recovers a card made by the
installed mendora-mkcard with the decode check on, and removing the package takes every file it
brought."""

import os
import shutil
import subprocess
import sys
import time
import unittest

import packages
from packages import harness

DEB = packages.package("mendora_{version}_amd64.deb")
if os.geteuid() != 0:
    print("installing a package needs root; test skipped")
    sys.exit(packages.SKIPPED)


def dpkg(*args):
    """dpkg, waiting while another apt or dpkg run holds its lock."""
    for _ in range(120):
        done = subprocess.run(["dpkg"] + list(args), capture_output=True, text=True)
        if done.returncode == 0 or "lock" not in done.stderr:
            return done
        time.sleep(5)
    return done


def installed_version():
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Status} ${Version}", "mendora"], capture_output=True,
                          text=True)
    return done.stdout if done.returncode == 0 and "install ok installed" in done.stdout else None


class DebianPackage(unittest.TestCase):
    def test_install_run_from_path_recover_and_remove(self):
        files = []
        done = dpkg("-i", DEB)
        try:
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual((installed_version() or "").split()[-1:], [packages.VERSION])
            files = [f for f in dpkg("-L", "mendora").stdout.splitlines() if os.path.isfile(f)]
            for path in ("/usr/lib/mendora/mendora", "/usr/lib/mendora/VeltoXAVCValidate.so",
                         "/usr/bin/mendora-mkcard", "/usr/share/man/man1/mendora.1.gz",
                         "/usr/share/man/man1/mendora-mkcard.1.gz", "/usr/share/doc/mendora/copyright"):
                self.assertIn(path, files)
            self.check_help_from_path()
            self.check_recovery_by_the_installed_programs()
        finally:
            removed = dpkg("--purge", "mendora")
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        self.assertIsNone(installed_version())
        self.assertEqual([f for f in files if os.path.lexists(f)], [], "files left behind by the removal")
        self.assertFalse(os.path.lexists("/usr/bin/mendora"))
        for folder in ("/usr/lib/mendora", "/usr/share/doc/mendora"):
            self.assertFalse(os.path.exists(folder), "%s left behind by the removal" % folder)

    def check_help_from_path(self):
        env = dict(os.environ, PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")
        self.assertEqual(shutil.which("mendora", path=env["PATH"]), "/usr/bin/mendora")
        done = subprocess.run(["mendora", "--help"], capture_output=True, text=True, env=env)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertTrue(done.stdout.startswith("Mendora recovery "), done.stdout[:200])
        self.assertIn("\nUsage:\n  mendora image.dsk [options]\n", done.stdout)

    def check_recovery_by_the_installed_programs(self):
        harness.ENGINE, harness.MKCARD = "/usr/bin/mendora", "/usr/bin/mendora-mkcard"
        card = harness.make_card("sample")
        # the validator loads (or the run ends with exit code 2) and passes every written clip
        run = harness.check_recovery(self, card, validator=True, extra=harness.DOCUMENTED)
        self.assertIn("Version: %s\n" % packages.VERSION, run.stdout)
        self.assertEqual(run.stdout.count("  AVC validation PASS: "), len(card.written(True)))
        self.assertGreater(len(card.written(True)), 0)


if __name__ == "__main__":
    unittest.main()
