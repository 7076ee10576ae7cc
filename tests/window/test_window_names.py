"""Folder and file names as Windows users have them, through the real pickers and the real window
to the recovered files: a working folder, card image and recovery folder named in Cyrillic and
CJK, and working and recovery folders so deep that the log, the scan cache and every clip lie on
paths of more than 260 characters."""

import os
import unittest

import window_session as ws
from window_session import harness, wine_runner

ANALYSIS_STATUS, STATUS_LINK = 2021, 2014
COMPLETE = 'Recovery complete.  <a id="folder">View Recovery Directory</a>  <a id="report">View Report</a>'


class WindowNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        cls.card = harness.make_card("sample")
        cls.written = cls.card.written(True)

    def recover_all(self, work, image, out, shot):
        """Analyze and Recover All through the window; the log and the clips checked."""
        before = harness.sha256(self.card.image)
        s = ws.session(self, ws.PROBE, probe=True)
        s.pick_inputs(work, image)
        self.assertEqual(s.control(ws.FOLDER_FIELDS["workdir_browse"]), wine_runner.win_path(work))
        s.press_focused()
        ws.wait_for("the analysis", lambda: s.state().get("runs_ended") == "1")
        self.assertEqual(s.control(ANALYSIS_STATUS), "%d clips recoverable" % self.card.truth["recoverable_clips"])
        s.pick_folder("outdir_browse", out)
        s.press_button("recover_all")
        ws.wait_for("the recovery", lambda: s.state().get("runs_ended") == "2")
        self.assertEqual((s.control(STATUS_LINK), s.state()["message_box"]), (COMPLETE, ""))
        log = ws.read_text(os.path.join(work, ws.LOG_NAME)).replace("\r\n", "\n")
        self.assertIn("Source : %s\n" % wine_runner.win_path(image), log)
        self.assertIn("Output : %s\n" % wine_runner.win_path(out), log)
        self.assertTrue([n for n in os.listdir(work) if n.startswith("velto_xavc_scan_")], "the scan cache")
        self.assertEqual(sorted(os.listdir(out)), sorted(list(self.written) + list(harness.REPORT_FILES)))
        for name, rec in self.written.items():
            harness.check_output_bytes(self, self.card, rec, os.path.join(out, name), False)
        s.keys(s.main, "alt+a", "s")  # the log in the Activity pane shows the names whole
        ws.wait_for("the Activity pane", lambda: s.control(2015, "visible") == "1")
        # the newest lines, at the top of the pane, name the last clip written
        last = wine_runner.win_path(os.path.join(out, max(self.written)))
        self.assertIn("  -> %s\\r\\n" % last, s.control(2015))
        s.screenshot(shot)
        s.close_ends_with_0()
        self.assertEqual(harness.sha256(self.card.image), before)
        return log

    def test_cyrillic_and_cjk_names(self):
        base = ws.scratch("window-names-")
        # each alone in a folder of its own: the pickers reach them by place, not by typed letters
        work = os.path.join(base, "w", "\u0440\u0430\u0431\u043e\u0447\u0430\u044f \u043f\u0430\u043f\u043a\u0430")
        out = os.path.join(base, "r", "\u5fa9\u5143\u3055\u308c\u305f \u52d5\u753b")
        for folder in (work, out):
            os.makedirs(folder)
        image = os.path.join(work, "\u043a\u0430\u0440\u0442\u0430 \u6f22\u5b57.img")
        os.link(self.card.image, image)
        self.recover_all(work, image, out, "names-1-cyrillic-and-cjk")

    def test_paths_over_260_characters(self):
        base = ws.scratch("window-long-")
        # distinct first letters: Wine's folder tree finds each by the letters typed
        work = os.path.join(base, *["%s%s" % (letter, "-working-folder-part" * 3) for letter in "abcd"])
        out = os.path.join(base, *["%s%s" % (letter, "-recovery-folder-part" * 3) for letter in "efgh"])
        for folder in (work, out):
            os.makedirs(folder)
        image = os.path.join(base, "card.img")
        os.link(self.card.image, image)
        clip = wine_runner.win_path(os.path.join(out, min(self.written)))
        self.assertGreater(len(wine_runner.win_path(os.path.join(work, ws.LOG_NAME))), 260)
        self.assertGreater(len(clip), 260)
        self.recover_all(work, image, out, "names-2-over-260-characters")


if __name__ == "__main__":
    unittest.main()
