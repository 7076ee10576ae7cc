"""Two windows on one working folder: while the first one's run is in progress (its engine child
held inside a read of the card), the second window's Analyze is refused with a clear message before
anything starts: the first run's log keeps its lines and nothing else changes in either window.
Once the first run has ended, the second window's analysis runs."""

import os
import shutil
import unittest

import read_gate
import window_session as ws
from window_session import harness, wine_runner

BUSY = (ws.TITLE + "|A recovery is already running in this working folder (its log file is in use).\\r\\n\\r\\n"
        "Wait until it has ended, or select another working folder.")


class SecondWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        cls.card = harness.make_card("sample")
        try:
            read_gate.ReadGate(cls.card.image).close()
        except read_gate.Unavailable as e:
            raise unittest.SkipTest("the kernel gives no permission events here: %s" % e)

    def test_second_run_in_a_working_folder_is_refused_while_the_first_runs(self):
        base = ws.scratch("window-second-")
        work = os.path.join(base, "work")
        os.mkdir(work)
        log = os.path.join(work, ws.LOG_NAME)
        # the second window's image is a copy: the gate holds the reads of the first one's only
        other_image = shutil.copy(self.card.image, os.path.join(base, "other.img"))
        before = harness.sha256(self.card.image)

        first = ws.session(self, ws.PROBE, probe=True)
        first.pick_inputs(work, self.card.image)
        gate = read_gate.ReadGate(self.card.image)  # before the child opens the card
        self.addCleanup(gate.close)
        gate.hold()
        first.press_focused()
        ws.wait_for("the first child to wait in a read of the card", gate.holding_a_read)
        ws.wait_for("the first run's log", lambda: "Source : " in ws.read_text(log))
        first_log = ws.read_text(log)

        second = ws.session(self, ws.PROBE, probe=True, beside=first)
        second.pick_inputs(work, other_image)
        settled = second.state()
        second.press_focused()  # Analyze
        ws.wait_for("the refusal", lambda: second.state().get("message_box") == BUSY)
        second.screenshot("second-window-refused")
        self.assertEqual(ws.read_text(log), first_log, "the first run's log was emptied")
        self.assertEqual(second.state()["runs_ended"], "0")
        self.assertEqual(second.enabled(), ["analyze", "outdir_browse", "source_open", "workdir_browse"])
        self.assertEqual(second.control(2021), settled["control.2021.text"])
        box = ws.wait_for("the box's window", lambda: [w for w in second.xdo(
            "search", "--onlyvisible", "--name", "^%s$" % ws.TITLE).split() if w not in (first.main, second.main)])
        second.keys(box[0], "Return")
        ws.wait_for("the box to go", lambda: second.state().get("message_box") == "")
        self.assertEqual(first.state()["runs_ended"], "0", "the first run goes on")

        gate.release()
        ws.wait_for("the first analysis", lambda: first.state().get("runs_ended") == "1")
        self.assertEqual(first.control(2021), "%d clips recoverable" % self.card.truth["recoverable_clips"])
        self.assertIn("Source : %s" % wine_runner.win_path(self.card.image), ws.read_text(log))
        second.press_focused()  # the focus came back to Analyze with the box gone
        ws.wait_for("the second analysis", lambda: second.state().get("runs_ended") == "1")
        self.assertEqual(second.state()["message_box"], "")
        self.assertIn("Source : %s" % wine_runner.win_path(other_image), ws.read_text(log))
        second.close_ends_with_0()
        first.close_ends_with_0()
        self.assertEqual(harness.sha256(self.card.image), before)


if __name__ == "__main__":
    unittest.main()
