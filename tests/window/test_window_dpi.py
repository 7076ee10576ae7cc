"""The window at 96, 144 and 192 DPI (Wine reads the DPI from its registry when a program starts):
every place and size the 96 DPI layout gives, scaled, the window itself too, and no label or button
whose text is taller or wider than the control; at 96 DPI exactly today's places. Then the move to
a monitor of another DPI, told to the window as the system tells it. Screenshots of each in
build-win/screenshots/."""

import unittest

import window_session as ws
from window_session import wine_runner

# Control id -> x, y, width, height in the 96 DPI layout, as lengths and the left column's width L
# (which follows the client width the system's frame leaves): (a, b) stands for a + b * L.
PLACES_AT_96 = {
    2018: ((16, 0), (38, 0), (-96, 1), (28, 0)), 2019: ((-72, 1), (38, 0), (88, 0), (28, 0)),
    2001: ((16, 0), (100, 0), (-96, 1), (28, 0)), 2002: ((-72, 1), (100, 0), (88, 0), (28, 0)),
    2003: ((16, 0), (162, 0), (-96, 1), (28, 0)), 2004: ((-72, 1), (162, 0), (88, 0), (28, 0)),
    2016: ((16, 0), (246, 0), (96, 0), (30, 0)), 2009: ((120, 0), (246, 0), (124, 0), (30, 0)),
    2017: ((252, 0), (246, 0), (112, 0), (30, 0)),
    2021: ((16, 0), (322, 0), (0, 1), (18, 0)), 2022: ((16, 0), (348, 0), (0, 1), (78, 0)),
}
STATUS = 2021
left_at_96 = []  # L as the 96 DPI window had it


def scaled(value, dpi):
    return (value * dpi + 48) // 96


class WindowDpi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        ws.desktop_env(screen="2400x1500x24")  # the wide window at 192 DPI is 2240 x 1300

    def rect(self, s, control_id):
        return tuple(int(v) for v in s.control(control_id, "rect").split(","))

    def check_places(self, s, dpi):
        """Every control where the 96 DPI layout puts it, scaled to `dpi`, to the pixel for the
        same left column; the column itself within the rounding of the frame's own scaling."""
        state = s.state()
        self.assertEqual(state["window"], "%dx%d" % (scaled(480, dpi), scaled(650, dpi)))
        left = self.rect(s, STATUS)[2]
        if dpi == 96:
            left_at_96[:] = [left]
        elif left_at_96:
            self.assertLessEqual(abs(left - scaled(left_at_96[0], dpi)), 8, "left column at %d DPI" % dpi)
        for control_id, place in PLACES_AT_96.items():
            want = tuple(scaled(length, dpi) + column * left for length, column in place)
            self.assertEqual(self.rect(s, control_id), want, "control %d at %d DPI" % (control_id, dpi))
        self.assertEqual(state["clipped"], "", "texts that do not fit their controls at %d DPI" % dpi)

    def test_1_each_dpi_scales_the_window_its_controls_and_fonts(self):
        for dpi in (96, 144, 192):
            with self.subTest(dpi=dpi):
                ws.set_dpi(dpi)
                s = ws.session(self, ws.PROBE, probe=True)
                self.assertEqual(s.state()["dpi"], str(dpi))
                self.check_places(s, dpi)
                self.assertEqual(s.state()["focus"], "2019", "the working-folder Browse button")
                s.screenshot("dpi-%d-1-start" % dpi)
                s.keys(s.main, "alt+a", "s")
                ws.wait_for("the wide window", lambda: s.state().get("window") == "%dx%d" % (
                    scaled(1120, dpi), scaled(650, dpi)))
                self.assertEqual(s.state()["clipped"], "")
                s.screenshot("dpi-%d-2-show-activity" % dpi)
                s.close_ends_with_0()
        ws.set_dpi(96)

    def test_2_a_monitor_of_another_dpi(self):
        ws.set_dpi(96)
        s = ws.session(self, ws.PROBE, args=["--probe-dpi-change", "144"], probe=True)
        ws.wait_for("the window at 144 DPI", lambda: s.state().get("window") == "720x975")
        s.screenshot("dpi-moved-96-to-144")
        state = s.state()
        self.assertEqual(state["dpi"], "96", "the system still tells the DPI it started with")
        left = self.rect(s, STATUS)[2]
        for control_id, place in PLACES_AT_96.items():
            want = tuple(scaled(length, 144) + column * left for length, column in place)
            self.assertEqual(self.rect(s, control_id), want, "control %d" % control_id)
        self.assertEqual(state["clipped"], "", "the fonts follow the move")
        s.close_ends_with_0()


if __name__ == "__main__":
    unittest.main()
