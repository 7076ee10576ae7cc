"""Analyze, Recover Sample and Recover All on a generated card through the real window, its worker,
the engine child, the log and the parser: once with the probe, whose state file tells the status
texts and the enabled buttons after each run, and once with the shipped mendora.exe, checked where
it cannot lie: the log in the working folder and the recovered files byte for byte. Folder and
file names hold spaces and a non-ASCII letter, so they must reach the child intact."""

import os
import subprocess
import unittest
import urllib.parse

import window_session as ws
from window_session import harness, wine_runner

ANALYSIS_STATUS, DETAILS, STATUS_LINK = 2021, 2022, 2014
OVERALL, FILE = "bar.2013", "bar.2020"
COMPLETE = 'Recovery complete.  <a id="folder">View Recovery Directory</a>  <a id="report">View Report</a>'


class Run:
    """One user's folders on one card: a working folder, the image and two recovery folders."""

    def __init__(self, card, tag):
        self.base = ws.scratch("window-%s-" % tag)
        self.work = os.path.join(self.base, "work \u00e4")
        self.sample_out = os.path.join(self.base, "sample clips")
        self.all_out = os.path.join(self.base, "all clips")
        for folder in (self.work, self.sample_out, self.all_out):
            os.mkdir(folder)
        self.image = os.path.join(self.base, "card image.img")
        os.link(card.image, self.image)
        self.log = os.path.join(self.work, ws.LOG_NAME)


class WindowRecovery(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_runner.skip_when_wine_cannot_start()
        cls.card = harness.make_card("sample")
        cls.written = cls.card.written(True)
        cls.image_hash = harness.sha256(cls.card.image)

    def check_recovered(self, folder, names):
        self.assertEqual(sorted(os.listdir(folder)), sorted(list(names) + list(harness.REPORT_FILES)))
        for name in names:
            harness.check_output_bytes(self, self.card, self.written[name], os.path.join(folder, name), False)

    def check_log(self, run, last_line):
        log = ws.read_text(run.log)
        self.assertIn(last_line, log.replace("\r\n", "\n").splitlines(), log[-2000:])
        self.assertIn("Source : " + wine_runner.win_path(run.image), log, "the image path reached the child whole")
        self.assertIn("Work   : " + wine_runner.win_path(run.work), log)
        return log

    def test_1_probe_shows_texts_and_buttons_after_each_run(self):
        run = Run(self.card, "probe")
        # the user's web browser, as Wine starts it for a page: a stand-in that notes what it opens
        browser = ws.scratch("browser-")
        opened = os.path.join(browser, "opened.txt")
        with open(os.path.join(browser, "xdg-open"), "w") as f:
            f.write('#!/bin/sh\necho "$@" >> "%s"\n' % opened)
        os.chmod(os.path.join(browser, "xdg-open"), 0o755)
        # a web page opens in the browser, as on Windows
        subprocess.run([wine_runner.wine_program("wine64") or "wine64", "reg", "add", "HKCR\\.html", "/ve", "/d",
                        "htmlfile", "/f"], env=ws.desktop_env(), capture_output=True, timeout=120, check=True)
        s = ws.session(self, ws.PROBE, probe=True, env={"PATH": browser + os.pathsep + os.environ["PATH"]})
        runs = lambda n: lambda: s.state().get("runs_ended") == str(n)  # noqa: E731

        s.pick_inputs(run.work, run.image)
        s.press_focused()  # Analyze has the focus after the image
        ws.wait_for("the analysis", runs(1))
        state = s.state()
        truth = self.card.truth
        self.assertEqual(state["control.%d.text" % ANALYSIS_STATUS], "%d clips recoverable" % truth["recoverable_clips"])
        self.assertRegex(state["control.%d.text" % DETAILS],
                         r"^Video chunks mapped: \d+ / \d+\\r\\nAmbiguous mappings: \d+\\r\\nFinal chunks recovered: "
                         r"\d+\\r\\nXAVC \+ moov metadata pairs: %d$" % truth["clips"])
        self.assertEqual(state["control.%d.text" % STATUS_LINK], "")
        self.assertEqual(state[OVERALL], "100")
        self.assertEqual(s.enabled(), ["analyze", "outdir_browse", "source_open", "workdir_browse"])
        self.check_log(run, "Analysis complete. No MP4 files requested.")

        # the recovery-folder Browse has the focus now
        s.pick_folder("outdir_browse", run.sample_out)
        ws.wait_for("both recovery buttons", lambda: s.enabled() == sorted(ws.ACTIONS))
        s.press_button("recover_sample")
        ws.wait_for("the sample recovery", runs(2))
        state = s.state()
        self.assertEqual(state["control.%d.text" % STATUS_LINK], COMPLETE)
        self.assertEqual((state[OVERALL], state[FILE]), ("100", "100"))
        self.assertEqual(s.enabled(), sorted(ws.ACTIONS))
        self.check_recovered(run.sample_out, [min(self.written)])
        # View Report opens the recovery's own report page in the browser
        s.click_control(STATUS_LINK, *(int(v) for v in state["status_link.last_link"].split(",")))
        ws.wait_for("the report in the browser", lambda: os.path.exists(opened))
        page = "file://" + urllib.parse.quote(os.path.join(run.sample_out, harness.REPORT_FILES[0]))
        self.assertEqual(ws.read_text(opened).split(), [page])
        self.assertEqual(s.state()["message_box"], "", "no message that the report could not be opened")
        s.screenshot("recovery-view-report-clicked")

        s.pick_folder("outdir_browse", run.all_out, focused=False)
        self.assertEqual(s.control(STATUS_LINK), "No file is being written")
        s.press_button("recover_all")
        ws.wait_for("the recovery of all clips", runs(3))
        state = s.state()
        self.assertEqual(state["control.%d.text" % STATUS_LINK], COMPLETE)
        self.assertEqual(state["message_box"], "")
        self.check_recovered(run.all_out, list(self.written))
        self.check_log(run, "Complete.")

        # Show Activity after the run fills the pane and changes nothing else
        shown = lambda st: {k: v for k, v in st.items()  # noqa: E731
                            if k.startswith(("bar.", "control.20")) and not k.startswith("control.2015")}
        before = shown(state)
        s.keys(s.main, "alt+a", "s")
        ws.wait_for("the Activity pane", lambda: s.control(2015, "visible") == "1")
        ws.wait_for("the pane filled", lambda: "Complete." in s.control(2015))
        self.assertEqual(shown(s.state()), before)
        s.keys(s.main, "alt+a", "s")
        ws.wait_for("the pane hidden", lambda: s.control(2015, "visible") == "0")
        # a new image: turning the pane on again brings back no older analysis
        s.pick_image(lambda: s.keys(s.main, "alt+o"), run.image)
        s.keys(s.main, "alt+a", "s")
        # the pane is shown and filled by one handling of the command, which the probe cannot split
        ws.wait_for("the pane shown again", lambda: s.control(2015, "visible") == "1")
        self.assertEqual((s.control(ANALYSIS_STATUS), s.control(STATUS_LINK), s.state()[OVERALL]),
                         ("Not analyzed", "No file is being written", "0"))
        self.assertEqual(s.enabled(), ["analyze", "outdir_browse", "source_open", "workdir_browse"])
        s.close_ends_with_0()
        self.assertEqual(harness.sha256(self.card.image), self.image_hash)

    def test_2_mendora_exe_recovers_the_card(self):
        run = Run(self.card, "exe")
        s = ws.session(self)
        child_gone = lambda: not ws.processes_with(run.base.split("/")[-1])  # noqa: E731

        def finished(output_folder, last_line):
            """The run into output_folder wrote its last line and its child is gone."""
            def check():
                lines = ws.read_text(run.log).replace("\r\n", "\n").splitlines()
                return "Output : " + wine_runner.win_path(output_folder) in lines and last_line in lines and child_gone()
            return check

        s.pick_inputs(run.work, run.image)
        s.screenshot("recovery-1-inputs-picked")
        s.press_focused()
        ws.wait_for("the analysis to end", finished(run.work, "Analysis complete. No MP4 files requested."))
        self.check_log(run, "Analysis complete. No MP4 files requested.")
        s.pick_folder("outdir_browse", run.sample_out)
        s.screenshot("recovery-2-analyzed-3-clips-recoverable")

        s.press_button("recover_sample")
        ws.wait_for("the sample recovery to end", finished(run.sample_out, "Complete."))
        self.check_log(run, "Complete.")
        self.check_recovered(run.sample_out, [min(self.written)])
        s.screenshot("recovery-3-sample-recovered")

        s.pick_folder("outdir_browse", run.all_out, focused=False)
        s.press_button("recover_all")
        ws.wait_for("the recovery of all clips to end", finished(run.all_out, "Complete."))
        log = self.check_log(run, "Complete.")
        self.assertIn("  videos written    : %d" % len(self.written), log.replace("\r\n", "\n").splitlines())
        self.check_recovered(run.all_out, list(self.written))
        s.screenshot("recovery-4-all-recovered")
        s.keys(s.main, "alt+a", "s")
        ws.wait_for("the Activity pane", lambda: s.geometry(s.main)[2] > 1000)
        s.screenshot("recovery-5-activity-newest-first")
        s.close_ends_with_0()
        self.assertEqual(harness.sha256(self.card.image), self.image_hash)


if __name__ == "__main__":
    unittest.main()
