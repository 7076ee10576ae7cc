"""The recovery report, mendora-report.json and mendora-report.html, judged on every scenario card:
each recording of the generator's truth with the fate the files show, hashes and sizes that match
the files, durations and frame counts that match ffprobe; the page opened in headless Chromium
(no console error, one row per recording, one decoded thumbnail per decodable recording) for a card
of each kind, with a screenshot of each kept in build/screenshots/; names that are markup or not
ASCII stay text."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
import oracle
import oracle_report

SCENARIOS = subprocess.run([harness.MKCARD, "--list"], capture_output=True, text=True, check=True).stdout.split()
SHOTS = os.path.join(harness.BUILD_DIR, "screenshots")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# the pages opened in the browser, a card of each kind (a browser's start takes longer than the
# engine's run): whole and salvaged files, a hole in the map, no movie box, 4K thumbnails, names
# from the file system and hostile ones, many rows, joined cuts in the map
PAGES = {"sample", "hole", "moov-lost-alone", "truncated", "video-2160p", "power-loss-open-gop-hevc",
         "fs-deleted-tree", "fs-hostile-names", "fs-many-files", "two-at-once-short-moov-lost"}
SUFFIX = "_salvaged.MP4"
# Chromium reads the page it was given and, in a copy with this probe added, writes what it saw
# into the body's data-seen attribute: rows, thumbnail images and how many of them decoded, map
# rectangles with a hover title.
PROBE = """<script>
addEventListener('load', () => {
  const imgs = [...document.querySelectorAll('img.thumb')];
  document.body.dataset.seen = JSON.stringify({
    rows: document.querySelectorAll('table.recordings tbody tr').length,
    thumbs: imgs.length,
    decoded: imgs.filter(i => i.complete && i.naturalWidth > 0).length,
    rects: document.querySelectorAll('svg.map rect').length,
    titled: document.querySelectorAll('svg.map rect > title').length,
    external: [...document.querySelectorAll('[src],[href]')].filter(
        e => !/^data:/.test(e.getAttribute('src') || e.getAttribute('href'))).length});
});
</script>"""


def load_report(folder):
    with open(os.path.join(folder, "mendora-report.json"), encoding="utf-8") as f:
        return json.load(f)


def ffprobe(path):
    out, _ = harness.read_with(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                                "stream=codec_tag_string,width,height,nb_read_packets,duration", "-of", "json", path],
                               path)
    return json.loads(out)["streams"][0]


def chromium(test, html, *options):
    """Runs headless Chromium on a page; its console lines and the DOM it ended with."""
    if not CHROMIUM:
        test.skipTest("chromium is not installed (scripts/install-deps.sh installs it)")
    profile = tempfile.mkdtemp(prefix="chromium-", dir=harness._root)
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
            "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", "--virtual-time-budget=5000"]
    done = subprocess.run(args + list(options) + ["file://" + html], capture_output=True, text=True,
                          errors="replace", timeout=120)
    console = [line for line in done.stderr.splitlines() if "CONSOLE" in line or ":INFO:CONSOLE" in line]
    return done, console


def check_page(test, folder, report, scenario):
    """The page as Chromium renders it, and its screenshot kept for a person to look at (in the
    first pass: under the sanitizers the engine is what is looked at)."""
    if os.environ.get("MENDORA_SANITIZED"):
        return
    page = os.path.join(folder, "mendora-report.html")
    with open(page, encoding="utf-8") as f:
        html = f.read()
    probed = os.path.join(tempfile.mkdtemp(dir=harness._root), "probed.html")
    with open(probed, "w", encoding="utf-8") as f:
        f.write(html.replace("</body>", PROBE + "</body>"))
    # the probe only writes an attribute, so the page it shows is the report's own
    os.makedirs(SHOTS, exist_ok=True)
    shot = os.path.join(SHOTS, "report-%s.png" % scenario)
    done, console = chromium(test, probed, "--dump-dom", "--window-size=1280,1500", "--screenshot=" + shot)
    test.assertEqual(console, [], "console messages of the page")
    test.assertTrue(os.path.getsize(shot) > 0)
    seen = json.loads(re.search(r'data-seen="([^"]*)"', done.stdout).group(1).replace("&quot;", '"'))
    recordings = report["recordings"]
    test.assertEqual(seen["rows"], len(recordings), "one row per recording")
    test.assertEqual(seen["thumbs"], sum(1 for r in recordings if r["thumbnail"]))
    test.assertEqual(seen["decoded"], seen["thumbs"], "every thumbnail decodes in the browser")
    test.assertEqual(seen["titled"], seen["rects"], "every piece of the map names itself on hover")
    test.assertEqual(seen["external"], 0, "nothing is fetched from elsewhere")


def check_report(test, card, run, validator=True):
    """The JSON against the truth and ffprobe; its files, pieces and maps by the oracle
    (tests/e2e/oracle_report.py)."""
    report = load_report(run.out_dir)
    image = harness.read(card.image)
    originals = {r["name"]: oracle.Original(card, r, image) for r in card.recordings}
    owners = oracle.owners(test, card, originals, oracle.written_files(run.out_dir))
    oracle_report.judge_report(test, card, originals, {r["name"]: oracle.Place(r["extents"]) for r in card.recordings},
                               image, run.out_dir, owners)
    files = sorted(os.path.relpath(p, run.out_dir) for p in oracle.written_files(run.out_dir))
    truth = {r["clip_number"]: r for r in card.recordings}
    got = {r["clip_number"]: r for r in report["recordings"]}
    test.assertEqual(sorted(got), sorted(truth), "one record per recording of the truth")
    test.assertEqual(report["recording_count"], len(truth))
    test.assertEqual(report["run"]["image"]["size"], card.truth["image_size"])
    test.assertEqual(report["run"]["cluster_bytes"], card.truth["cluster_bytes"])
    listed = []
    for number, rec in sorted(truth.items()):
        r = got[number]
        with test.subTest(clip=number):
            written = rec["recover_validator" if validator else "recover"]
            salvaged = rec["output_name"][:-4] + SUFFIX
            entry = rec.get("file") or {}
            camera = entry.get("set_intact", False) and entry.get("trusted", False)  # back whole from its extent
            fate = ("camera-file" if camera else "written" if written else "salvaged" if salvaged in files
                    else "not-recovered")
            test.assertEqual(r["fate"], fate, r["reason"])
            if entry and (camera or entry.get("set_intact")):
                name = entry["path"].rsplit("/", 1)[-1]
                if name.isascii() and name.isprintable():  # others are shown in a safe form
                    test.assertTrue(r["original"]["path"].endswith(name), r["original"])
                # a format leaves the entries in use, in a folder nothing reaches any more
                test.assertEqual(r["original"]["state"] != "deleted", entry["in_use"], r["original"])
            if fate == "not-recovered":
                test.assertIsNone(r["output"])
                test.assertTrue(r["reason"], "a recording not recovered says why")
                continue
            name = rec["output_name"] if written else salvaged
            if camera:
                name = os.path.relpath(r["output"]["path"], run.out_dir)
                test.assertEqual(harness.sha256(os.path.join(run.out_dir, name)),
                                 harness.sha256(card.recording_path(rec)), "the camera's file, byte for byte")
            else:
                test.assertEqual(r["output"]["name"], name)
            listed.append(name)
            path = os.path.join(run.out_dir, name)
            # the later parts of a recording salvaged in parts, the sidecars of its camera's file
            # (also beside a clip that came back another way, under the camera's path)
            for more in r["more_outputs"]:
                listed.append(os.path.relpath(more["path"], run.out_dir))
                test.assertEqual(os.path.basename(listed[-1]), more["name"])
            probe = ffprobe(path)
            test.assertEqual(r["codec"], probe["codec_tag_string"])
            frames = int(probe["nb_read_packets"])
            test.assertEqual(r["salvage"]["kept_samples"] if fate == "salvaged" else r["video_samples"], frames)
            seconds = r["salvage"]["kept_seconds"] if fate == "salvaged" else r["duration_seconds"]
            test.assertAlmostEqual(seconds, float(probe["duration"]), delta=1.01 / rec["frame_rate"])
            test.assertAlmostEqual(r["frame_rate"]["value"], rec["frame_rate"], places=3)
            if validator:
                test.assertTrue(r["thumbnail"], "a decodable file has its first picture")
                test.assertEqual((r["width"], r["height"]), (probe["width"], probe["height"]))
            # the chunks the writer found, not a hole's
            if r["movie_box"] and rec["damage"] in ("none", "hole") and fate == "written":
                test.assertEqual(r["video_chunks"], rec["video_chunks"])
                # a chunk a fragment boundary cuts is not found where the documented rules look
                test.assertEqual(r["video_chunks_found"],
                                 r["video_chunks"] - (rec["damage"] == "hole") - rec.get("video_chunks_cut", 0) -
                                 rec.get("video_chunks_out_of_reach", 0))
    test.assertEqual(sorted(listed), files, "every file in the folder is in the report, once")
    return report


class ReportOfEveryScenario(unittest.TestCase):
    pass


def case(scenario):
    def test(self):
        card = harness.make_card(scenario)
        if scenario not in PAGES and not card.truth.get("file_system"):
            # test_salvage.py judges the report of its own run of the card, the same run as this
            self.skipTest("judged by test_salvage.py")
        run = harness.run_engine(self, card)
        self.assertEqual(run.code, 0, run.stderr)
        report = check_report(self, card, run)
        if scenario in PAGES:
            check_page(self, run.out_dir, report, scenario)
    return test


assert PAGES <= set(SCENARIOS), PAGES - set(SCENARIOS)
# under the sanitizers every other test's run writes its report: only the runs below are looked at
for _scenario in [] if os.environ.get("MENDORA_SANITIZED") else SCENARIOS:
    setattr(ReportOfEveryScenario, "test_" + _scenario.replace("-", "_"), case(_scenario))


class ReportRuns(unittest.TestCase):
    def test_analysis_only_reports_into_the_working_folder(self):
        card = harness.make_card("moov-lost")
        out = os.path.join(tempfile.mkdtemp(dir=harness._root), "never")
        run = harness.run_engine(self, card, out_dir=out, extra=["--analysis-only"])
        self.assertEqual(run.code, 0, run.stderr)
        self.assertFalse(os.path.exists(out), "an analysis makes no output folder")
        report = load_report(run.work_dir)
        self.assertEqual(report["run"]["mode"], "analysis-only")
        fates = {r["clip_number"]: r["fate"] for r in report["recordings"]}
        recoverable = sum(1 for f in fates.values() if f == "not-written")
        self.assertEqual(recoverable, card.truth["recoverable_clips"])
        self.assertFalse([r for r in report["recordings"] if r["output"]])

    def test_no_salvage_writes_no_report(self):
        card = harness.make_card("sample")
        for extra in (["--no-salvage"], ["--no-salvage", "--analysis-only"]):
            with self.subTest(extra=" ".join(extra)):
                run = harness.run_engine(self, card, extra=extra)
                self.assertEqual(run.code, 0, run.stderr)
                for folder in (run.out_dir, run.work_dir):
                    if os.path.isdir(folder):
                        self.assertFalse(set(os.listdir(folder)) & set(harness.REPORT_FILES), folder)

    def test_hash_image_is_the_image_hash_and_reads_it_once(self):
        card = harness.make_card("sample")
        first = harness.run_engine(self, card, validator=False, extra=["--hash-image"])
        self.assertEqual(load_report(first.out_dir)["run"]["image"]["sha256"], harness.sha256(card.image))
        # a scan cache does not stand in for the read the hash is taken from
        again = harness.run_engine(self, card, validator=False, work_dir=first.work_dir, extra=["--hash-image"])
        self.assertNotIn(harness.CACHE_HIT, again.stdout.splitlines())
        self.assertEqual(load_report(again.out_dir)["run"]["image"]["sha256"], harness.sha256(card.image))
        plain = harness.run_engine(self, card, validator=False, work_dir=first.work_dir)
        self.assertIn(harness.CACHE_HIT, plain.stdout.splitlines())
        self.assertIsNone(load_report(plain.out_dir)["run"]["image"]["sha256"])
        self.assertTrue(load_report(plain.out_dir)["run"]["scan_cache_hit"])

    def test_without_validator_no_thumbnails_and_the_same_facts(self):
        card = harness.make_card("hole")
        run = harness.run_engine(self, card, validator=False)
        report = check_report(self, card, run, validator=False)
        self.assertFalse([r for r in report["recordings"] if r["thumbnail"]])

    def test_names_that_are_markup_or_not_ascii(self):
        card = harness.make_card("sample")
        root = tempfile.mkdtemp(dir=harness._root)
        folder = os.path.join(root, "karta <b>&amp; \"x\" 'y' łódź 日本")
        os.mkdir(folder)
        image = os.path.join(folder, "card <1> & co.img")
        os.symlink(card.image, image)
        out = os.path.join(folder, "out & <i>")
        run = harness.run_engine(self, card, image=image, out_dir=out)
        self.assertEqual(run.code, 0, run.stderr)
        report = load_report(out)
        self.assertEqual(report["run"]["image"]["path"], image)
        with open(os.path.join(out, "mendora-report.html"), encoding="utf-8") as f:
            html = f.read()
        escaped = image.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;") \
            .replace("'", "&#39;")
        self.assertIn(escaped, html)
        self.assertNotIn("<b>", html)
        self.assertNotIn("<1>", html)
        self.assertNotIn("<i>", html)
        check_page(self, out, report, "odd-names")


if __name__ == "__main__":
    unittest.main()
