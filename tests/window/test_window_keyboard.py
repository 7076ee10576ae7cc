"""The window from the keyboard alone: Tab and Shift+Tab walk the enabled controls in the order they
are seen, Enter presses the focused button, Alt with a button's access key presses it, and after a
picker or a message box the focus is back where it was."""

import os
import unittest

import window_session as ws
from window_session import harness, wine_runner

# The tab stops top to bottom, left column first: each path field, then its button; the action
# buttons; the status link. The Activity pane follows when it is shown.
TAB_ORDER = [2018, 2019, 2001, 2002, 2003, 2004, 2016, 2009, 2017, 2014]
STATUS_LINK = 2014


class WindowKeyboard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        cls.card = harness.make_card("sample")

    def focus(self, s):
        return int(s.state().get("focus", "0"))

    def walk(self, s, key, enabled, start):
        """Presses `key` once per enabled tab stop and returns the controls the focus went to."""
        seen = []
        at = start
        for _ in enabled:
            s.keys(s.main, key)
            ws.wait_for("the focus to leave %d" % at, lambda: self.focus(s) != at)
            at = self.focus(s)
            seen.append(at)
        return seen

    def test_tab_enter_and_access_keys(self):
        base = ws.scratch("window-keys-")
        work, out = os.path.join(base, "work"), os.path.join(base, "out")
        os.mkdir(work)
        os.mkdir(out)
        s = ws.session(self, ws.PROBE, probe=True)
        self.assertEqual(self.focus(s), 2019)

        # Enter on the focused Browse button opens its picker; the pick moves the focus to Open...
        s.pick_folder("workdir_browse", work, press=lambda: s.keys(s.main, "Return"))
        ws.wait_for("the focus on Open...", lambda: self.focus(s) == 2002)
        s.pick_image(lambda: s.keys(s.main, "alt+o"), self.card.image)
        ws.wait_for("the focus on Analyze", lambda: self.focus(s) == 2016)

        # recovery buttons are off until an analysis: Tab passes them by
        enabled = [c for c in TAB_ORDER if c not in (2009, 2017)]
        at = enabled.index(2016)
        forward = enabled[at + 1:] + enabled[:at + 1]
        self.assertEqual(self.walk(s, "Tab", enabled, 2016), forward)
        backward = list(reversed(enabled[:at])) + list(reversed(enabled[at:]))
        self.assertEqual(self.walk(s, "shift+Tab", enabled, 2016), backward)
        self.assertEqual(self.focus(s), 2016)

        s.keys(s.main, "Return")  # Enter presses Analyze
        ws.wait_for("the analysis", lambda: s.state().get("runs_ended") == "1")
        ws.wait_for("the focus on the recovery Browse button", lambda: self.focus(s) == 2004)
        s.pick_folder("outdir_browse", out, press=lambda: s.keys(s.main, "alt+r"))
        self.assertEqual(s.enabled(), sorted(ws.ACTIONS))
        s.screenshot("keyboard-1-analyzed")
        s.keys(s.main, "alt+l")  # Recover All
        ws.wait_for("the recovery of all clips", lambda: s.state().get("runs_ended") == "2")
        self.assertEqual(sorted(os.listdir(out)), sorted(list(self.card.written(True)) + list(harness.REPORT_FILES)))
        self.assertEqual(s.control(STATUS_LINK), 'Recovery complete.  <a id="folder">View Recovery Directory</a>  <a id="report">View Report</a>')
        s.close_ends_with_0()


if __name__ == "__main__":
    unittest.main()
