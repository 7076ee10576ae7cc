"""Runs that go wrong end as the window promises: a child that stops with exit code 2 (and the user
then picks the right image and recovers from it without a restart), a child that cannot be
started, a log that cannot be created and a validator DLL missing when a recovery is asked for. The
probe tells the message box text, the status texts and the buttons afterwards."""

import os
import re
import shutil
import unittest

import window_session as ws
from window_session import harness, wine_runner

DIAGNOSTIC = "\\n\\nFor diagnostic details, enable Advanced > Show Activity."
EVERY_PICKER = ["analyze", "outdir_browse", "source_open", "workdir_browse"]


class WindowBadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        cls.card = harness.make_card("sample")

    def analyse(self, image, program=ws.PROBE, before_analyze=None):
        """A probe session with a fresh working folder and `image` picked, after its Analyze ended."""
        base = ws.scratch("window-bad-")
        work = os.path.join(base, "work")
        os.mkdir(work)
        s = ws.session(self, program, probe=True)
        s.pick_inputs(work, image)
        if before_analyze:
            before_analyze(work)
        s.press_focused()
        ws.wait_for("the analysis to end", lambda: s.state().get("runs_ended") == "1")
        return s, base, work

    def error_box(self, s):
        """The text of the box shown after the run ended (the probe writes its state before it)."""
        return ws.wait_for("the error box", lambda: s.state().get("message_box"))

    def dismiss(self, s):
        s.keys(ws.wait_for("the message box", lambda: s.find(ws.TITLE, other_than=s.main)), "Return")
        ws.wait_for("the message box to go", lambda: s.state().get("message_box") == "")

    def test_failed_analysis_says_why_and_another_image_recovers(self):
        blank = os.path.join(ws.scratch("blank-"), "blank.img")
        with open(blank, "wb") as f:
            f.write(bytes(1 << 20))
        s, base, work = self.analyse(blank)
        reason = "no valid exFAT boot region found in first 64 MiB"
        self.assertEqual(self.error_box(s), ws.TITLE + "|Analyze failed with exit code 2.\\n\\nERROR: " + reason + DIAGNOSTIC)
        state = s.state()
        self.assertEqual(state["control.2021.text"], "Analysis failed")
        self.assertEqual(state["control.2014.text"], "Analysis failed: " + reason)
        self.assertEqual(s.enabled(), EVERY_PICKER, "the pickers work again after a failed analysis")
        s.screenshot("bad-1-exit-code-2")
        log = ws.read_text(os.path.join(work, ws.LOG_NAME))
        self.assertIn("ERROR: " + reason, log)
        self.dismiss(s)

        # Open... has the focus again once the box is gone: Space picks the right image
        before = harness.sha256(self.card.image)
        s.pick_image(s.press_focused, self.card.image)
        self.assertEqual((s.control(2021), s.control(2014)), ("Not analyzed", "No file is being written"))
        s.press_focused()
        ws.wait_for("the second analysis", lambda: s.state().get("runs_ended") == "2")
        self.assertEqual(s.control(2021), "%d clips recoverable" % self.card.truth["recoverable_clips"])
        out = os.path.join(base, "out")
        os.mkdir(out)
        s.pick_folder("outdir_browse", out)
        s.press_button("recover_sample")
        ws.wait_for("the sample recovery", lambda: s.state().get("runs_ended") == "3")
        self.assertEqual(s.control(2014), 'Recovery complete.  <a id="folder">View Recovery Directory</a>  <a id="report">View Report</a>')
        written = self.card.written(True)
        self.assertEqual(sorted(os.listdir(out)), sorted([min(written)] + list(harness.REPORT_FILES)))
        harness.check_output_bytes(self, self.card, written[min(written)], os.path.join(out, min(written)), False)
        self.assertEqual(harness.sha256(self.card.image), before)
        s.close_ends_with_0()

    def test_child_that_cannot_start_reports_the_system_error(self):
        # the working folder goes after it was picked: no log, and no current folder for the child
        s, _, _ = self.analyse(self.card.image, before_analyze=shutil.rmtree)
        box = self.error_box(s)
        code = re.fullmatch(re.escape(ws.TITLE + "|Analyze failed with exit code ") + r"(\d+)\.\\n\\n(.+)" +
                            re.escape(DIAGNOSTIC), box)
        self.assertIsNotNone(code, box)
        self.assertEqual(int(code.group(1)), 267, "the Win32 error for a current folder that is not there")
        # the system's own words for the code, as many as it has ("Directory name invalid." in Wine)
        self.assertRegex(code.group(2), r"(?i)directory name", "the system's text for the code")
        self.assertEqual(s.control(2014), "Analysis failed: " + code.group(2))
        self.assertEqual(s.enabled(), EVERY_PICKER)
        self.dismiss(s)
        s.close_ends_with_0()

    def test_log_that_cannot_be_created_sends_the_child_to_standard_output(self):
        # a folder where the log file should be
        s, _, _ = self.analyse(self.card.image, before_analyze=lambda work: os.mkdir(os.path.join(work, ws.LOG_NAME)))
        state = s.state()
        self.assertEqual(state["message_box"], "")
        self.assertEqual(state["control.2021.text"], "Not analyzed", "the poller found no log to parse")
        self.assertEqual((state["control.2014.text"], state["bar.2013"]), ("", "100"))
        self.assertEqual(s.enabled(), ["analyze", "outdir_browse", "source_open", "workdir_browse"])
        s.close_ends_with_0()
        self.assertIn("Analysis complete. No MP4 files requested.", s.stdout)

    def test_missing_validator_stops_recovery_before_it_starts(self):
        alone = os.path.join(ws.scratch("no-validator-"), "mendora-window-probe.exe")
        shutil.copy(ws.PROBE, alone)
        s, base, _ = self.analyse(self.card.image, program=alone)
        out = os.path.join(base, "out")
        os.mkdir(out)
        s.pick_folder("outdir_browse", out)
        s.press_button("recover_sample")
        box = self.error_box(s)
        dll = wine_runner.win_path(os.path.join(os.path.dirname(alone), "VeltoXAVCValidate.dll"))
        self.assertEqual(box, ws.TITLE + "|AVC validator could not be loaded.\\r\\n\\r\\n"
                         "validator DLL not found beside application: %s (Win32 error 2)" % dll)
        s.screenshot("bad-2-validator-missing")
        self.dismiss(s)
        self.assertEqual(s.state()["runs_ended"], "1", "no run started")
        self.assertEqual(s.enabled(), sorted(ws.ACTIONS))
        self.assertEqual(os.listdir(out), [])
        s.close_ends_with_0()


if __name__ == "__main__":
    unittest.main()
