"""The window as it opens: 480 x 650 with the Activity pane hidden, both with no arguments and with
--gui; Advanced > Show Activity widens it to 1120 and checks the item; About opens and closes;
closing the window ends the program with 0; started as a double-click starts it, no console window
stays. Screenshots of each state go to build-win/screenshots/."""

import unittest

import window_session as ws
from window_session import wine_runner

ACTIVITY_PANE = 2015


class WindowFaces(unittest.TestCase):
    frame = None  # (width, height) Wine takes off the window for the X window, learnt from the probe

    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()

    def x_size_of(self, s, width, height):
        """The X window's size for a Windows window of width x height."""
        return width - self.frame[0], height - self.frame[1]

    def toggle_activity(self, s):
        s.keys(s.main, "alt+a", "s")

    def test_1_probe_reports_size_check_mark_and_pane(self):
        s = ws.session(self, ws.PROBE, probe=True)
        self.assertEqual(s.state()["window"], "480x650")
        self.assertEqual(s.state()["activity_checked"], "0")
        self.assertEqual(s.control(ACTIVITY_PANE, "visible"), "0")
        _, _, w, h = s.geometry(s.main)
        type(self).frame = (480 - w, 650 - h)
        self.toggle_activity(s)
        ws.wait_for("the wide window", lambda: s.state().get("window") == "1120x650")
        self.assertEqual(s.state()["activity_checked"], "1")
        self.assertEqual(s.control(ACTIVITY_PANE, "visible"), "1")
        self.assertEqual(s.geometry(s.main)[2:], self.x_size_of(s, 1120, 650))
        self.toggle_activity(s)
        ws.wait_for("the narrow window", lambda: s.state().get("window") == "480x650")
        self.assertEqual(s.state()["activity_checked"], "0")
        self.assertEqual(s.control(ACTIVITY_PANE, "visible"), "0")
        s.close_ends_with_0()

    def test_2_no_arguments(self):
        s = ws.session(self)
        self.assertEqual(s.geometry(s.main)[2:], self.x_size_of(s, 480, 650))
        s.screenshot("faces-1-start-480x650")
        self.toggle_activity(s)
        ws.wait_for("the wide window", lambda: s.geometry(s.main)[2:] == self.x_size_of(s, 1120, 650))
        s.screenshot("faces-2-show-activity-1120x650")

        s.keys(s.main, "alt+h", "a")
        about = ws.wait_for("the About dialog", lambda: s.find("About " + ws.TITLE))
        s.screenshot("faces-3-about")
        s.keys(about, "Escape")
        try:
            ws.wait_for("Escape to close About", lambda: not s.find("About " + ws.TITLE), timeout=60)
        except AssertionError:
            print("Wine's task dialog ignores Escape; About closed with its default Close button (Return)")
            s.keys(about, "Return")
            ws.wait_for("About to close", lambda: not s.find("About " + ws.TITLE))
        s.close_ends_with_0()

    def test_3_gui_switch(self):
        s = ws.session(self, ws.EXE, args=["--gui"])
        self.assertEqual(s.geometry(s.main)[2:], self.x_size_of(s, 480, 650))
        s.screenshot("faces-4-gui-switch")
        s.close_ends_with_0()

    def test_4_started_like_a_double_click_shows_only_the_window(self):
        # the console a console program gets when the shell starts it is let go before the window
        s = ws.session(self, ws.PROBE, probe=True, started_by_shell=True)
        self.assertEqual((s.state()["console_at_start"], s.state()["console_now"]), ("1", "0"))
        self.assertEqual(s.visible_titles(), [ws.TITLE])
        s.screenshot("faces-5-started-by-the-shell")
        s.close_ends_with_0()


if __name__ == "__main__":
    unittest.main()
