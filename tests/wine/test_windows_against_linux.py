"""The Windows program under Wine against the Linux build on every generated scenario card: the
same lines from the analysis and the recovery (paths aside), the same scan cache file and
byte-identical clips with the Windows validator DLL loaded, the same facts in both reports
(thumbnails and hashes included), and the same refusal of a clip whose
video sample was damaged on the card."""

import json
import os
import re
import subprocess
import unittest

import wine_runner
from wine_runner import LINUX, WINDOWS, harness

import mp4_reader
from failing_card import FailingMount, fuse_usable


def folder_bytes(folder):
    """Every file of the folder (not its subfolders) by name, the report aside (report_facts)."""
    paths = {name: os.path.join(folder, name) for name in harness.recovered_files(folder)}
    return {name: harness.read(path) for name, path in paths.items() if os.path.isfile(path)}


def report_facts(folder):
    """The report's JSON without what differs from run to run and between the systems: paths, the
    command line, the clock. Every other fact must be the same on both."""
    path = os.path.join(folder, harness.REPORT_FILES[1])
    if not os.path.isfile(path):
        return None
    with open(path, encoding="utf-8") as f:
        report = json.load(f)
    for key in ("command_line", "finished_at", "stages", "output_dir"):
        report["run"].pop(key)
    report["run"]["image"].pop("path")
    for rec in report["recordings"]:
        for output in ([rec["output"]] if rec["output"] else []) + rec["more_outputs"]:
            output.pop("path")
    return report


def tree_files(folder):
    """Every file under the folder's PRIVATE tree by its path with "/", with its bytes and times."""
    found = {}
    for parent, _, names in os.walk(os.path.join(folder, "PRIVATE")):
        for name in names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, folder).replace(os.sep, "/")] = (harness.read(path), os.stat(path).st_mtime_ns)
    return found


def slashes_after_out(text):
    """The output paths a build prints, with "/" between the names below the output folder."""
    return re.sub(r"<OUT><SEP>(\S+)", lambda m: "<OUT><SEP>" + m.group(1).replace("\\", "/"), text)


def recover_from_the_card(program, image):
    """A recovery with a working folder of its own, so without a scan cache: the recordings lying
    whole are decode-checked while the scan reads on. Exit code, output, errors and files written."""
    work = wine_runner.scratch("work-")
    out = os.path.join(work, "out")
    code, stdout, stderr = program.run(program.path(image), "--work-dir", program.path(work), "-o", program.path(out),
                                       "--recover-all", "--no-progress")
    names = {"<IMAGE>": image, "<OUT>": out, "<WORK>": work}
    return code, slashes_after_out(program.neutral(stdout, names)), program.neutral(stderr, names), folder_bytes(out)


def check_same_recovery(test, linux, windows):
    """Two results of recover_from_the_card: both ended well, with the same lines and files."""
    (l_code, l_out, l_err, l_files), (w_code, w_out, w_err, w_files) = linux, windows
    test.assertEqual((w_code, l_code), (0, 0), w_err)
    test.assertEqual(w_out.splitlines(), l_out.splitlines())
    test.assertEqual(w_err, l_err)
    test.assertEqual(sorted(w_files), sorted(l_files))
    for name in l_files:
        test.assertTrue(w_files[name] == l_files[name], "%s differs from the Linux build's" % name)


def analyse_and_recover(test, program, image):
    """An analysis run, then a recovery of every clip from the same working folder (so from the
    scan cache the first run wrote), as the window runs them. The image must come out unchanged."""
    work = wine_runner.scratch("work-")
    out = os.path.join(work, "out")
    names = {"<IMAGE>": image, "<OUT>": out, "<WORK>": work}
    before = harness.sha256(image)
    runs = []
    for options in (["--analysis-only"], ["--recover-all", "--no-progress"]):
        code, stdout, stderr = program.run(program.path(image), "--work-dir", program.path(work),
                                           "-o", program.path(out), *options)
        runs.append((code, slashes_after_out(program.neutral(stdout, names)), program.neutral(stderr, names)))
    test.assertEqual(before, harness.sha256(image), "the engine changed the source image")
    reports = (report_facts(work), report_facts(out) if os.path.isdir(out) else None)
    return runs, folder_bytes(work), folder_bytes(out) if os.path.isdir(out) else {}, reports, tree_files(out)


# What differs between the two programs lies in the platform layer: reading the card by position and
# through failed reads, writing files and folders under the camera's names and times, the local
# time zone, the decoder library and the console. These cards take every one of those paths (each
# kind of damage, codec and file tree once); MENDORA_WINE_SCENARIOS=all runs every scenario card.
PLATFORM_SCENARIOS = {"sample", "reformatted", "partition", "timezone", "truncated", "power-loss-open-gop-hevc",
                      "moov-lost-alone-bframes", "hole-clusters-bframes-oob-hevc", "cut-bframes-oob",
                      "fs-deleted-tree", "fs-stale", "fs-chain-faults", "fs-renamed", "fs-name-clash",
                      "two-at-once-moov-lost-bframes"}


class AgainstLinux(unittest.TestCase):
    def check_same(self, image):
        linux, windows = (analyse_and_recover(self, p, image) for p in (LINUX, WINDOWS))
        for (l_code, l_out, l_err), (w_code, w_out, w_err) in zip(linux[0], windows[0]):
            self.assertEqual(w_code, l_code, "exit code; Windows stderr:\n%s" % w_err)
            self.assertEqual(w_out.splitlines(), l_out.splitlines())
            self.assertEqual(w_err, l_err)
        self.assertEqual(list(windows[1]), list(linux[1]), "scan cache files")
        self.assertTrue(windows[1] and windows[1] == linux[1], "the two scan caches differ")
        self.assertEqual(list(windows[2]), list(linux[2]), "clips written")
        for name in linux[2]:
            self.assertTrue(windows[2][name] == linux[2][name], "%s differs from the Linux build's" % name)
        # the analysis's report in the working folder, the recovery's beside the clips
        self.assertIsNotNone(linux[3][0])
        self.assertIsNotNone(linux[3][1])
        self.assertEqual(windows[3], linux[3], "the reports' facts")
        self.assertEqual(sorted(windows[4]), sorted(linux[4]), "the camera's files written")
        for name in linux[4]:
            self.assertTrue(windows[4][name] == linux[4][name], "%s differs from the Linux build's (or its time)" % name)
        return windows[0][1]

    def test_scenario_cards_as_on_linux(self):
        scenarios = subprocess.run([harness.MKCARD, "--list"], capture_output=True, text=True, check=True).stdout.split()
        if os.environ.get("MENDORA_WINE_SCENARIOS") != "all":
            scenarios = [s for s in scenarios if s in PLATFORM_SCENARIOS]
        for scenario in scenarios:
            with self.subTest(scenario):
                card = harness.make_card(scenario)
                code, stdout, stderr = self.check_same(card.image)
                # a recording its file system gives back whole is written as the camera's file instead,
                # and counts among the videos written where the documented queue holds it
                camera = {r["name"] for r in card.recordings
                          if r.get("file") and r["file"]["set_intact"] and r["file"]["trusted"]}
                written = {r["name"] for r in card.recordings
                           if r["recover_validator"] or (r["recover"] and r["name"] in camera)}
                self.assertIn("  videos written    : %d\n" % len(written), stdout)
                for rec in card.recordings:
                    if rec["recover"] and not rec["recover_validator"] and rec["name"] not in camera:
                        self.assertRegex(stderr, harness.refusal_pattern(rec))

    def test_camera_files_and_unsafe_names_as_on_linux(self):
        # names from the card that no path may hold as they are (device names, separators, dots
        # that climb out of the folder): the same safe names, bytes and times
        card = harness.make_card("fs-hostile-names")
        stdout = self.check_same(card.image)[1]
        self.assertIn("not safe as a file name", stdout)

    def test_clip_with_a_damaged_sample_is_refused_as_on_linux(self):
        card = harness.make_card("sample")
        rec = card.recordings[0]
        video = [t for t in mp4_reader.movie(harness.read(card.recording_path(rec)))["tracks"]
                 if t["handler"] == "vide"][0]
        image = os.path.join(wine_runner.scratch("card-"), "damaged.img")
        data = bytearray(harness.read(card.image))
        # garbage in the middle of the first sample of the second chunk, sample 13 of the track
        at = rec["image_offset"] + video["offsets"][1] + video["sizes"][12] // 2
        data[at:at + 64] = b"\xff" * 64
        with open(image, "wb") as f:
            f.write(data)
        code, stdout, stderr = self.check_same(image)
        # the documented writer's refusal comes first; salvage then keeps the clip without that sample
        self.assertEqual(stderr.splitlines()[0], "clip %d: AVC decode validation failed at sample 13" % rec["clip_number"])
        self.assertIn("  videos written    : %d\n" % (len(card.recordings) - 1), stdout)
        # the same refusal from the check made while the scan read on
        before = harness.sha256(image)
        linux = recover_from_the_card(LINUX, image)
        check_same_recovery(self, linux, recover_from_the_card(WINDOWS, image))
        self.assertEqual(before, harness.sha256(image), "the engine changed the source image")
        self.assertEqual(linux[2], stderr)

    def test_a_failing_card_as_on_linux(self):
        # ReadFile fails where read does: the same spans named, the same files, the card untouched
        reason = fuse_usable()
        if reason:
            self.skipTest("a failing card needs FUSE: %s" % reason)
        card = harness.make_card("sample")
        rec = card.recordings[1]
        video = [t for t in mp4_reader.movie(harness.read(card.recording_path(rec)))["tracks"]
                 if t["handler"] == "vide"][0]
        spans = [(rec["image_offset"] + video["offsets"][1] + 700, 4096), (card.truth["image_size"] - 65536, 8192)]
        before = harness.sha256(card.image)
        results = []
        for program in (LINUX, WINDOWS):
            with FailingMount(card.image, spans, wine_runner.scratch("mount-")) as mount:
                results.append(recover_from_the_card(program, mount.path))
        self.assertEqual(before, harness.sha256(card.image), "the engine changed the source image")
        self.assertEqual(len(re.findall(r"(?m)^unreadable: ", results[0][1])), 2, results[0][1])
        check_same_recovery(self, *results)


if __name__ == "__main__":
    wine_runner.skip_when_wine_cannot_start()
    unittest.main()
