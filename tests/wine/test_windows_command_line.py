"""The Windows program's own texts under Wine: the usage text, the line for a missing window, the
validator loader's failures with their Windows words, and write faults the Windows way; folder and
file names in any script and paths longer than 260 characters, end to end to the recovered files."""

import os
import shlex
import shutil
import stat
import subprocess
import unittest

import wine_runner
from wine_runner import LINUX, WINDOWS, harness, win_path

from test_command_line import TAG, USAGE

WIN_DOUBLES = os.path.join(wine_runner.WIN_BUILD, "test_doubles")
# Wine's system text for error 193 (ERROR_BAD_EXE_FORMAT), its full stop cut by the loader
BAD_FORMAT_TEXT = "Bad EXE format for %1"


class WindowsCommandLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.card = harness.make_card("sample")
        cls.image_hash = harness.sha256(cls.card.image)

    def tearDown(self):
        self.assertEqual(harness.sha256(self.card.image), self.image_hash, "the source image was written")

    def run_engine(self, *options, program=WINDOWS):
        work = wine_runner.scratch("work-")
        return program.run(win_path(self.card.image), "--work-dir", win_path(work), "--no-progress", *options)

    def test_usage_text(self):
        for flag in ("-h", "--help"):
            self.assertEqual(WINDOWS.run(flag, "--fast"), (0, USAGE.format(tag=TAG, prog=win_path(wine_runner.EXE)), ""))

    def test_no_arguments_or_gui_alone_start_the_window(self):
        # these tests run without a display, so the window cannot be made: start-up failure, 2
        # (tests/window/ drives the window itself)
        for args in ([], ["--gui"]):
            self.assertEqual(WINDOWS.run(*args), (2, "", ""), args)

    def test_validator_loader_failures(self):
        rows = [
            # name, what lies beside the program as the validator DLL, reason
            ("DLL missing", None, "validator DLL not found beside application: {dll} (Win32 error 2)"),
            ("a file that is not a library", b"not a library\r\n",
             "validator DLL exists but Windows could not load it: {dll}; Win32 error 193: " + BAD_FORMAT_TEXT),
            ("an export missing", "missing_export", "validator export missing: velto_xavc_close"),
            ("another ABI version", "wrong_abi", "validator ABI mismatch"),
        ]
        for name, beside, reason in rows:
            with self.subTest(name):
                folder = wine_runner.scratch("program-")
                exe = shutil.copy(wine_runner.EXE, folder)
                dll = os.path.join(folder, "VeltoXAVCValidate.dll")
                if isinstance(beside, bytes):
                    with open(dll, "wb") as f:
                        f.write(beside)
                elif beside:
                    shutil.copy(os.path.join(WIN_DOUBLES, "libvalidator_double_%s.dll" % beside), dll)
                program = wine_runner.Program(WINDOWS.command[:1] + [win_path(exe)], win_path)
                code, out, err = self.run_engine("-o", win_path(os.path.join(folder, "out")), "--recover", "0",
                                                 program=program)
                self.assertEqual((code, err), (2, "ERROR: AVC validator unavailable: %s\n"
                                               % reason.format(dll=win_path(dll))))
                self.assertNotIn("[6/6]", out)

    def test_read_only_file_with_the_final_name_is_kept(self):
        out = wine_runner.scratch("out-")
        rec = self.card.recordings[0]
        final = os.path.join(out, rec["output_name"])
        with open(final, "wb") as f:
            f.write(b"older file")
        # Wine shows a file without write permission as a read-only file
        os.chmod(final, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        code, stdout, stderr = self.run_engine("-o", win_path(out), "--clip", str(rec["clip_number"]),
                                               "--no-salvage")
        self.assertEqual((code, stderr), (0, "clip %d: rename failed: File exists\n" % rec["clip_number"]))
        self.assertIn("  videos written    : 0\n", stdout)
        self.assertEqual(os.listdir(out), [rec["output_name"]], "the temporary file was left behind")
        self.assertEqual(harness.read(final), b"older file")

    def test_any_name_and_long_paths_end_to_end(self):
        base = wine_runner.scratch("names-")
        long_part = "long folder name " * 4  # 68 characters, four deep: every path over 260
        rows = [
            ("Cyrillic and CJK", "\u0440\u0430\u0431\u043e\u0447\u0430\u044f \u043f\u0430\u043f\u043a\u0430",
             "\u043a\u0430\u0440\u0442\u0430.img", "\u5fa9\u5143\u3055\u308c\u305f \u52d5\u753b"),
            ("over 260 characters", os.path.join(*[long_part + str(i) for i in range(4)]), "card image.img",
             os.path.join(*[long_part + "out " + str(i) for i in range(4)])),
        ]
        written = self.card.written(False)
        for name, work_name, image_name, out_name in rows:
            with self.subTest(name):
                work, out = os.path.join(base, work_name), os.path.join(base, out_name)
                os.makedirs(work)
                os.makedirs(os.path.dirname(out), exist_ok=True)
                image = os.path.join(work, image_name)
                os.link(self.card.image, image)
                if name.startswith("over"):
                    self.assertGreater(len(win_path(os.path.join(out, min(written)))), 260)
                code, stdout, stderr = WINDOWS.run(win_path(image), "--work-dir", win_path(work), "-o",
                                                   win_path(out), "--recover-all", "--no-validator", "--no-progress")
                self.assertEqual((code, stderr), (0, ""), stdout[-2000:])
                self.assertIn("Source : %s\n" % win_path(image), stdout)
                self.assertEqual(harness.recovered_files(out), sorted(written))
                for clip, rec in written.items():
                    harness.check_output_bytes(self, self.card, rec, os.path.join(out, clip), False)
                # the scan cache lies in the working folder, and a second run finds it there
                code, stdout, _ = WINDOWS.run(win_path(image), "--work-dir", win_path(work), "-o", win_path(out),
                                              "--analysis-only")
                self.assertIn("  scan cache hit - full image scan reused\n", stdout)

    def test_new_folders_and_a_folder_that_cannot_be_made(self):
        parent = wine_runner.scratch("out-")
        with open(os.path.join(parent, "a file"), "wb"):
            pass
        new = os.path.join(parent, "nowe \u0142\u00f3d\u017a", "nagrania", "out")
        code, _, stderr = self.run_engine("-o", win_path(new), "--no-validator")
        self.assertEqual((code, stderr), (0, ""))
        self.assertTrue(os.path.isdir(new), "the whole path is made")
        rows = [
            ("characters Windows does not allow in a name", os.path.join(parent, "out<1>"), "Invalid argument"),
            ("a file where a folder should be", os.path.join(parent, "a file", "out"),
             "%s: Not a directory" % win_path(os.path.join(parent, "a file"))),
        ]
        for name, out, reason in rows:
            with self.subTest(name):
                code, stdout, stderr = self.run_engine("-o", win_path(out))
                self.assertEqual((code, stderr), (2, "ERROR: cannot create output directory %s: %s\n"
                                                  % (win_path(out), reason)))
        self.assertEqual(sorted(os.listdir(parent)), ["a file", "nowe \u0142\u00f3d\u017a"])

    def test_program_in_a_folder_outside_the_code_page(self):
        # unzipped into "Nagrania łódź" under an English Windows: the program finds its folder and
        # loads its DLL through the wide calls, and its lines reach a pipe as the same UTF-8 bytes
        folder = os.path.join(wine_runner.scratch("program-"), "Nagrania \u0142\u00f3d\u017a")
        os.mkdir(folder)
        exe = shutil.copy(wine_runner.EXE, folder)
        shutil.copy(os.path.join(wine_runner.WIN_BUILD, "VeltoXAVCValidate.dll"), folder)
        program = wine_runner.Program(WINDOWS.command[:1] + [win_path(exe)], win_path)
        out = os.path.join(folder, "odzyskane \u0142\u00f3d\u017a")
        rec = self.card.recordings[0]
        code, stdout, stderr = self.run_engine("-o", win_path(out), "--clip", str(rec["clip_number"]), "--no-salvage",
                                               program=program)
        self.assertEqual((code, stderr), (0, ""))
        self.assertIn("Output : %s\n" % win_path(out), stdout)
        self.assertIn("AVC validation PASS", stdout)
        harness.check_output_bytes(self, self.card, rec, os.path.join(out, rec["output_name"]), False)

    def test_console_shows_the_letters_a_pipe_gets_as_utf8(self):
        # a terminal is a console to Wine: the pane shows what a user reads in a Windows console
        out = os.path.join(wine_runner.scratch("console-"), "odzyskane \u0142\u00f3d\u017a")
        command = WINDOWS.command + [win_path(self.card.image), "--work-dir", win_path(wine_runner.scratch("work-")),
                                     "-o", win_path(out), "--analysis-only"]
        env = dict(wine_runner.wine_env(), LANG="C.UTF-8", LC_ALL="C.UTF-8")
        tmux = ["tmux", "-L", "mendora-console-%d" % os.getpid()]
        # the pane signals when the command has ended, however long that takes, and then stays open
        # until the server goes: what it shows is read once, after the end
        ended = shlex.join(tmux + ["wait-for", "-S", "ended"])
        subprocess.run(tmux + ["new-session", "-d", "-x", "200", "-y", "60",
                               "%s; %s; %s" % (shlex.join(command), ended, shlex.join(tmux + ["wait-for", "gone"]))],
                       env=env, check=True)
        try:
            subprocess.run(tmux + ["wait-for", "ended"], env=env, check=True)
            shown = subprocess.run(tmux + ["capture-pane", "-p", "-J"], capture_output=True,
                                   env=env, check=True).stdout.decode("utf-8", "replace")
        finally:
            subprocess.run(tmux + ["kill-server"], env=env, capture_output=True)
        self.assertIn("Analysis complete", shown)
        self.assertIn("Output : %s\n" % win_path(out), shown)


if __name__ == "__main__":
    wine_runner.skip_when_wine_cannot_start()
    unittest.main()
