"""Closing the window while the engine child writes a clip: the question comes, No keeps the run
going, Yes ends the child with exit code 3 and the program with 0, and what the child leaves is a
.partial file, never a clip under its final name that is not complete. The child is held inside a
read of the card while a clip is half written, so the close always lands in the middle of a write."""

import os
import re
import unittest

import read_gate
import window_session as ws
from window_session import harness, wine_runner

QUESTION = ws.TITLE + "|Recovery is running. Cancel the child process and exit?"
STATUS_LINK, FILE_BAR = 2014, "bar.2020"
WRITING = re.compile(r"Writing file (\d+) of \d+ \| clip \d+ \| .* \| (\d+)%$")


def last_writing_line(log):
    """The last whole line of the log that tells how far a clip is written, or None."""
    text = ws.read_text(log).replace("\r", "\n")
    for line in reversed(text.split("\n")[:-1]):
        if WRITING.match(line):
            return line
    return None


def listing(out):
    """Name and size of every file in the folder."""
    return sorted((n, os.path.getsize(os.path.join(out, n))) for n in os.listdir(out))


def partials(out):
    return [n for n in os.listdir(out) if n.endswith(".partial")]


class CloseDuringRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        # two long recordings: after a hold in the first clip there is still a clip to write
        cls.card = harness.make_card(None, "--count", "2", "--frames", "1200", "--size-mib", "192")
        try:
            read_gate.ReadGate(cls.card.image).close()
        except read_gate.Unavailable as e:
            raise unittest.SkipTest("the kernel gives no permission events here: %s" % e)

    def hold_in_a_write(self, s, gate, log, out, wanted):
        """Holds the child in a read of the card while a clip is half written, with a log line
        `wanted` accepts as its last; returns that line, once the window shows it."""
        def in_a_write():
            # under way, and far enough from its end that the clip still needs reads of the card
            line = last_writing_line(log)
            if line and wanted(line) and 0 < int(WRITING.match(line).group(2)) < 90 and partials(out):
                return line
            return None
        seen = []

        def window_agrees():
            seen[:] = [s.control(STATUS_LINK), last_writing_line(log), ws.read_text(log)[-300:]]
            return seen[0] == seen[1]
        for _ in range(10):
            ws.wait_for("a clip half written", in_a_write)
            gate.hold()
            ws.wait_for("the child to wait in a read of the card", gate.holding_a_read)
            # what the child wrote before the hold may still be on its way to the window (a busy
            # machine): the window's status and its log agree once it has all of it. A hold that
            # never lets them agree is let go and made again.
            try:
                ws.wait_for("the window to take all the held child wrote", window_agrees, timeout=120)
            except AssertionError:
                gate.release()
                continue
            line = in_a_write()  # what the log said last may have moved on before the hold
            if line:
                return line
            gate.release()
        raise AssertionError("the child was never held in the middle of a clip with the window showing what it "
                             "wrote: the window shows %r, the log's last line is %r, its tail %r" % tuple(seen))

    def answer(self, s, key):
        s.keys(ws.wait_for("the question's window", lambda: s.find(ws.TITLE, other_than=s.main)), key)

    def test_no_keeps_the_run_yes_ends_the_child_with_3(self):
        base = ws.scratch("window-close-")
        work, out = os.path.join(base, "work"), os.path.join(base, "recovered")
        os.mkdir(work)
        os.mkdir(out)
        log = os.path.join(work, ws.LOG_NAME)
        before = harness.sha256(self.card.image)
        s = ws.session(self, ws.PROBE, probe=True)

        s.pick_inputs(work, self.card.image)
        s.press_focused()
        ws.wait_for("the analysis", lambda: s.state().get("runs_ended") == "1")
        s.pick_folder("outdir_browse", out)
        gate = read_gate.ReadGate(self.card.image)  # before the child opens the card
        self.addCleanup(gate.close)  # a child held by a failed test is let go
        s.press_button("recover_all")

        held = self.hold_in_a_write(s, gate, log, out, lambda line: WRITING.match(line).group(1) == "1")
        ws.wait_for("the window to show the write", lambda: s.control(STATUS_LINK) == held)
        self.assertGreater(int(s.state()[FILE_BAR]), 0)
        s.close()
        ws.wait_for("the close question", lambda: s.state().get("message_box") == QUESTION)
        s.screenshot("close-1-question-during-run")
        self.answer(s, "Return")  # No is the default button
        ws.wait_for("the question to go", lambda: s.state().get("message_box") == "")
        self.assertIsNone(s.process.poll(), "No closed the window")

        # the run goes on: the log moves past the held line while the window stays
        gate.release()
        self.hold_in_a_write(s, gate, log, out, lambda line: line != held)
        self.assertEqual(s.state()["runs_ended"], "1")
        s.close()
        ws.wait_for("the close question again", lambda: s.state().get("message_box") == QUESTION)
        self.answer(s, "y")
        self.assertEqual(s.exit_code(), 0)
        self.assertEqual(s.state()["terminated_exit_code"], "3")
        left_while_held = listing(out)

        gate.close()
        ws.wait_for("the child to go", lambda: not ws.processes_with(os.path.basename(base)))
        self.assertEqual(listing(out), left_while_held, "the ended child wrote on once let go")
        self.assertTrue(partials(out), left_while_held)
        written = self.card.written(True)
        for name, _ in left_while_held:
            if not name.endswith(".partial"):
                self.assertIn(name, written)
                harness.check_output_bytes(self, self.card, written[name], os.path.join(out, name), False)
        self.assertEqual(harness.sha256(self.card.image), before)


if __name__ == "__main__":
    unittest.main()
