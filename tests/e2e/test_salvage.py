"""Salvage judged on the scenario cards. Every recording with an intact key frame on the card that
the documented rules do not write comes back as XAVC_<clip>_<time>_salvaged.MP4 (and, where the
decoder cannot join a span to the one before it, later parts ..._salvaged_part2.MP4 and on),
each file judged by the oracle (tests/e2e/oracle.py): the recording's samples, in order, byte
for byte, with its sound in step, its frames in the camera's presentation order, and together at
least what the reference model calls keepable; the documented files and lines stay as they are,
the salvage block's lines say what the files hold, and --no-salvage gives the documented files
alone. Random damage to the camera-like streams is tests/e2e/test_damage_campaign.py's.

    python3 test_salvage.py --table    prints what each scenario card gives back
    MENDORA_SALVAGE_KNOWN_FAILURES=run python3 test_salvage.py    runs the known failures too"""

import json
import os
import re
import subprocess
import sys
import unittest

import harness
import oracle
import oracle_report
import test_report

# every card: on those the documented rules recover whole, salvage must add nothing but its count
SCENARIOS = subprocess.run([harness.MKCARD, "--list"], capture_output=True, text=True, check=True).stdout.split()
# the documented rules gave up on a recording, or wrote it with sound they found nowhere left silent
# or without video chunks they found nowhere
HEAD = re.compile(r"Salvage: (\d+) recordings? the documented rules (?:gave up on|wrote with sound left silent|"
                  r"wrote with video chunks missing)(?: or (?:wrote with sound left silent|wrote with video chunks missing))*$")
SALVAGED = re.compile(r"clip (?P<clip>\d+): salvaged(?: part (?P<part>\d+))? -> (?P<path>.+) \(video (?P<kept>\d+)/"
                      r"(?P<of>\d+) samples, (?P<gaps>\d+) gaps?, (?:sound (?P<sound>\d+) % of the kept span|no sound)\)$")
FAILED = re.compile(r"clip (\d+): salvage failed: .+$")
COUNT = re.compile(r"^  salvaged clips    : (\d+)$", re.M)
JOINED_COUNT = re.compile(r"^  joined cuts       : (\d+)$")
JOINED = re.compile(r"^  joined cut: ", re.M)
SUFFIX = "_salvaged.MP4"
PART = re.compile(r"_salvaged(?:_part(\d+))?\.MP4$")  # any salvaged file; group 1: a later part's number
MOVIE_KEPT = ("hole", "cluster-hole")  # damage that leaves the recording's movie box on the card
# cards whose salvaged files the engine does not give right yet, and how they fail; their rows are
# skipped with the reason, and leave this list as salvage learns them
KNOWN_FAILURES = {}
# cards whose salvaged files pass every check but keep fewer frames than the card holds: cuts
# the engine does not join yet, and how many intact frames of the card it may leave out at most
# (the rows check everything else; a change that loses more fails)
KNOWN_GAPS = {}
# cards whose salvaged files take sound where the card changed it and nothing behind it vouches
# for it: the rows check everything else
UNVOUCHED_SOUND = {}
RUN_KNOWN_FAILURES = os.environ.get("MENDORA_SALVAGE_KNOWN_FAILURES") == "run"  # run those rows too


def salvaged_name(rec):
    return rec["output_name"][:-len(".MP4")] + SUFFIX


def check_recording(test, card, rec, paths, gaps_known=False, sound_known=False):
    """Every check of a recording's salvaged files (tests/e2e/oracle.py), its first and its later
    parts in order: each part holds samples after the last one's, and together they keep every
    frame they must (unless the card's gaps are known). Returns (kept samples, gaps, sound samples)
    of each file, and how many intact frames they left out."""
    orig, kept, results = oracle.Original(card, rec), [], []
    for path in paths:
        index, gaps, sound, _ = oracle.judge_salvaged(test, orig, path, sound_vouched=not sound_known)
        test.assertTrue(not kept or index[0] > kept[-1], "%s starts before the part before it ends" % path)
        kept += index
        results.append((len(index), gaps, sound))
    # the scenario cards' damage leaves what vouches for the sound they keep
    missing = sorted(set(orig.required(vouched=False)) - set(kept))
    if not gaps_known:
        test.assertEqual(missing, [], "%s: intact frames left out" % os.path.basename(paths[0]))
    return results, len(missing)


def parts_of(names, rec):
    """The salvaged files of a recording among `names`: its first, then its later parts in order."""
    stem = rec["output_name"][:-len(".MP4")]
    parts = sorted((int(m.group(1) or 1), n) for n in names if n.startswith(stem) and (m := PART.search(n)))
    return [n for _, n in parts]


def split_block(test, lines):
    """The salvage block of a run's standard output, and the output without it and without the
    salvaged-clips line."""
    counts = [i for i, line in enumerate(lines) if COUNT.match(line)]
    test.assertEqual(len(counts), 1, "one salvaged-clips line")
    c = counts[0]
    test.assertEqual(lines[c - 1][:22], "  videos written    : ", "the salvaged-clips line follows")
    # the joined-cuts line, when any cut was joined, follows it and counts the block's joins
    joined = JOINED_COUNT.match(lines[c + 1]) if c + 1 < len(lines) else None
    count, rest = int(COUNT.match(lines[c]).group(1)), lines[:c] + lines[c + 1 + bool(joined):]
    heads = [i for i, line in enumerate(rest) if HEAD.match(line)]
    test.assertLessEqual(len(heads), 1, "more than one salvage block")
    block = []
    if heads:
        h = heads[0]
        end = rest.index("Complete.", h) - 1
        test.assertEqual((rest[h - 1], rest[end]), ("", ""), "blank lines around the salvage block")
        block, rest = rest[h:end], rest[:h - 1] + rest[end:]
    test.assertEqual(int(joined.group(1)) if joined else 0, sum(bool(JOINED.match(x)) for x in block),
                     "the joined-cuts line counts the joins")
    return block, rest, count


def lines_of(run):
    """A run's standard output lines with its own folders named alike."""
    return run.stdout.replace(run.work_dir, "WORK").replace(run.out_dir, "OUT").splitlines()


# cards whose scenario tests (harness.scenario_cases) make and check the same --no-salvage run
SCENARIO_CHECKED = {"sample", "contiguous", "reformatted", "timezone", "video-1080p", "video-2160p", "bframes",
                    "hole", "moov-lost", "truncated", "fragmented", "partition", "hevc"}


def check_card(test, scenario, *options):
    """A run with --no-salvage and one without it on a scenario card, and every salvage check."""
    card = harness.make_card(scenario, *options)
    if scenario in SCENARIO_CHECKED and not options:
        plain = harness.run_engine(test, card, extra=["--no-salvage"])
        test.assertEqual(plain.code, 0, plain.stderr)
    else:
        plain = harness.check_recovery(test, card, validator=True, extra=["--no-salvage"])
    run = harness.run_engine(test, card)
    test.assertEqual(run.code, 0, run.stderr)
    block, rest, count = split_block(test, lines_of(run))
    test.assertEqual(rest, lines_of(plain), "--no-salvage lines differ from the run without the block")
    test.assertNotIn("salvage", (plain.stdout + plain.stderr).lower())
    test.assertTrue(run.stderr.startswith(plain.stderr), "the documented messages come first:\n" + run.stderr)
    documented = sorted(os.listdir(plain.out_dir))
    names = harness.recovered_files(run.out_dir)
    test.assertEqual([n for n in names if not PART.search(n)], documented)
    for n in documented:
        test.assertEqual(harness.sha256(os.path.join(run.out_dir, n)), harness.sha256(os.path.join(plain.out_dir, n)),
                         "%s changed when salvage ran" % n)
    want = {salvaged_name(r): r for r in card.recordings
            if r["output_name"] not in documented and any(oracle.Original(card, r).decodable())}
    files = {name: parts_of(names, rec) for name, rec in want.items()}
    test.assertEqual(sorted(n for n in names if PART.search(n)), sorted(n for f in files.values() for n in f),
                     "salvaged files\n" + run.stdout)
    test.assertEqual([n for n in names if n.endswith(SUFFIX)], sorted(want), "salvaged files\n" + run.stdout)
    test.assertEqual(count, len(want))
    lines = {}
    for line in block[1:]:
        m = SALVAGED.match(line)
        if m:
            key = (int(m["clip"]), int(m["part"] or 1))
            test.assertNotIn(key, lines, line)
            lines[key] = m
    if block:
        # a failure line may go to either stream
        failed = sum(1 for line in block + run.stderr[len(plain.stderr):].splitlines() if FAILED.match(line))
        heads = sum(1 for clip, part in lines if part == 1)
        test.assertEqual(int(HEAD.match(block[0]).group(1)), heads + failed, block[0])
    test.assertEqual(sorted(lines), sorted((r["clip_number"], p + 1) for n, r in want.items()
                                           for p in range(len(files[n]))), "salvaged clips named")
    left_out = 0
    for name, rec in sorted(want.items()):
        with test.subTest(file=name):
            paths = [os.path.join(run.out_dir, n) for n in files[name]]
            results, missing = check_recording(test, card, rec, paths, scenario in KNOWN_GAPS,
                                               scenario in UNVOUCHED_SOUND)
            left_out += missing
            for part, (path, (kept, gaps, sound)) in enumerate(zip(paths, results)):
                m = lines[(rec["clip_number"], part + 1)]
                test.assertEqual(os.path.normpath(m["path"]), os.path.normpath(os.path.join("OUT", files[name][part])))
                frames = len(rec["video_samples"])
                test.assertEqual((int(m["kept"]), int(m["gaps"])), (kept, gaps), m.group(0))
                test.assertTrue(kept <= int(m["of"]) <= frames, m.group(0))
                if rec["damage"] in MOVIE_KEPT:  # the movie box counts every sample
                    test.assertEqual(int(m["of"]), frames, m.group(0))
                if sound:  # the oracle found each kept frame's sound whole: all of the kept span
                    test.assertEqual(int(m["sound"]), 100, m.group(0))
                else:
                    test.assertIsNone(m["sound"], m.group(0))
    if scenario in KNOWN_GAPS:
        test.assertLessEqual(left_out, KNOWN_GAPS[scenario][0], "intact frames left out: " + KNOWN_GAPS[scenario][1])
    # the report, judged here for test_report.py, which makes no run of its own of a card judged
    # here: every piece in its own recording's bytes, joined pieces in both of their places
    test_report.check_report(test, card, run)


class Salvage(unittest.TestCase):
    def test_queue_modes(self):
        """--clip of a recording the documented rules do not write salvages it alone, the same file
        as --recover-all writes; --clip of a documented clip salvages nothing, and --recover N
        neither, nor does it print a salvaged-clips line."""
        card = harness.make_card("power-loss")
        lost = [r for r in card.recordings if r["damage"] == "power-loss"][0]
        whole = [r for r in card.recordings if r["recover_validator"]][0]
        every = harness.run_engine(self, card)
        # mode, files, the salvaged-clips lines it may print
        rows = [(["--clip", str(lost["clip_number"])], [salvaged_name(lost)], [["1"]]),
                (["--clip", str(whole["clip_number"])], [whole["output_name"]], [[], ["0"]]),
                (["--recover", "5"], sorted(card.written(True)), [[]])]
        for mode, names, counts in rows:
            with self.subTest(mode=" ".join(mode)):
                run = harness.run_engine(self, card, extra=mode)
                self.assertEqual(run.code, 0, run.stderr)
                self.assertEqual(harness.recovered_files(run.out_dir), names)
                self.assertIn(COUNT.findall(run.stdout), counts, run.stdout)
                for name in names:
                    self.assertEqual(harness.sha256(os.path.join(run.out_dir, name)),
                                     harness.sha256(os.path.join(every.out_dir, name)), name)


def case(scenario):
    def test(self):
        if harness.make_card(scenario).truth.get("file_system"):
            # where the card's file system gives a recording back whole, the camera's file replaces
            # the rebuild and salvage of it: tests/e2e/test_filesystem.py checks those cards
            self.skipTest("the card's file tree gives its recordings back as the camera's files")
        if scenario in KNOWN_FAILURES and not RUN_KNOWN_FAILURES:
            print("%s: skipped, a known failure: %s" % (scenario, KNOWN_FAILURES[scenario]), file=sys.stderr)
            self.skipTest(KNOWN_FAILURES[scenario])
        check_card(self, scenario)
    return test


for _scenario in SCENARIOS:
    setattr(Salvage, "test_" + _scenario.replace("-", "_"), case(_scenario))

# recordings without their movie box of cameras our scenario cards do not hold, where no movie box
# proves the clock: only the stream itself times the frames and tells the sound's format (at 50
# frames a second, 24-bit four-channel chunks are as long as 24-bit stereo ones at 25); and the time zone
# the other recording's movie box proves sets the markers' clock to UTC (five hours behind it)
OTHER_CAMERAS = {"moov-lost-alone-2997": ("moov-lost-alone", "--fps", "30000/1001"),
                 # beside a recording in 24-bit stereo, whose movie box proves no clock and names
                 # another format: the stream's clock sets the format the sound is weighed in
                 "moov-lost-bframes-hevc-50-24x4-beside-24x2": (None, "--count", "2", "--frames", "36,60", "--damage",
                                                                "moov-lost", "--bframes", "2", "--hevc", "--fps", "50",
                                                                "--sound-format", "24x2,24x4"),
                 "power-loss-5994-24x2-tz": (None, "--count", "2", "--frames", "36,72", "--damage", "power-loss",
                                             "--fps", "60000/1001", "--sound-format", "24x2", "--tz", "-5"),
                 # the kkad boxes of the recording without its movie box carry no time, as some
                 # firmware writes: only its run's own boxes are its, not the next recording's
                 "moov-lost-timeless": ("moov-lost", "--timeless-kkad"),
                 # two written at once, both last chunks cut: at 59.94 the sound in front of each,
                 # and behind it, a sound frame off the usual
                 "two-at-once-short-moov-lost-5994": ("two-at-once-short-moov-lost", "--fps", "60000/1001")}
for _name, (_scenario, *_options) in OTHER_CAMERAS.items():
    setattr(Salvage, "test_" + _name.replace("-", "_"),
            lambda self, scenario=_scenario, options=tuple(_options): check_card(self, scenario, *options))


def stream_kind(rec):
    """"avc", or for a camera-like stream e.g. "hevc b3 g24 open oob" (out-of-band parameter sets)."""
    s = rec.get("stream")
    if not s:
        return rec["codec"]
    return " ".join([s["codec"], "b%d" % s["bframes"], "g%d" % s["gop"]] + ["open"] * s["open_gop"] +
                    ["oob"] * (not s["params_in_band"]))


def print_table():
    """Per scenario card: the stream kind of the recordings the documented rules do not write, its
    recordings, those the documented rules write, those salvaged, and of the others' video
    samples: kept in salvaged files / decodable with their sound / intact on the card; then the
    first problem the checks find in a salvaged file, if any."""
    print("%-30s %-20s %10s %10s %9s  %-21s %s" % ("scenario", "stream", "recordings", "documented", "salvaged",
                                                   "kept/keepable/on card", "problem"))
    test = unittest.TestCase()
    for scenario in SCENARIOS:
        card = harness.make_card(scenario)
        run = harness.run_engine(test, card)
        written = harness.recovered_files(run.out_dir)
        salvaged = {salvaged_name(r): r for r in card.recordings if salvaged_name(r) in written}
        documented = [n for n in written if not PART.search(n)]
        others = [oracle.Original(card, r) for r in card.recordings if r["output_name"] not in documented]
        kept, problem = 0, "" if run.code == 0 else "exit code %d" % run.code
        for name, rec in sorted(salvaged.items()):
            try:
                paths = [os.path.join(run.out_dir, n) for n in parts_of(written, rec)]
                kept += sum(k for k, _, _ in check_recording(test, card, rec, paths)[0])
            except AssertionError as e:
                problem = problem or str(e).splitlines()[0].split(" : ", 1)[-1][:100]
        counts = "%d/%d/%d" % (kept, sum(len(o.required()) for o in others), sum(sum(o.intact) for o in others))
        kinds = sorted({stream_kind(r) for r in card.recordings if r["output_name"] not in documented})
        print("%-30s %-20s %10d %10d %9d  %-21s %s" % (scenario, ",".join(kinds) or "-", len(card.recordings),
                                                       len(documented), len(salvaged), counts, problem))


FRAGMENT_CARDS = ["two-at-once", "two-at-once-moov-lost", "two-at-once-bframes-hevc", "two-at-once-moov-lost-bframes",
                  "two-at-once-long", "two-at-once-short", "two-at-once-short-moov-lost", "two-at-once-fat-zeroed"]


def movie_box_whole(card, rec):
    """Whether the recording's movie box, behind its media data, lies whole on the card: in one run,
    or cut once by a run boundary, its rest at the start of a later cluster (the box's structure
    puts the two together)."""
    if rec["damage"] == "moov-lost":
        return False
    with open(card.image, "rb") as f:
        f.seek(rec["image_offset"])
        head = f.read(64)
    at = int.from_bytes(head[0:4], "big")  # the media data follows the file type box
    size = int.from_bytes(head[at:at + 4], "big")
    if size == 1:
        size = int.from_bytes(head[at + 8:at + 16], "big")
    return len([f for f, _, n in rec["extents"] if f < rec["size"] and at + size < f + n]) <= 2


def documented_file(test, rec, orig, path):
    """Of a file the documented rules wrote: whether it holds every sound sample of the recording as
    the camera wrote it (they leave a chunk silent that they find nowhere), how many of the chunks
    they did write hold other bytes than the camera's (taken from where they expect them), and how
    many of its pictures are the camera's (without the decode check they leave a video chunk they
    find nowhere as zeros; a sample's last unit no reader of its structure can tell apart)."""
    tracks, _, _ = oracle.probe(path)
    packets = tracks.get("video", {}).get("packets", [])
    pictures = sum(j < len(orig.video) and (p["bytes"] == orig.video[j] or orig.same_but_last_unit(j, p["bytes"]))
                   for j, p in enumerate(packets))
    if "audio" not in tracks:
        return True, 0, pictures
    sound, at, foreign = oracle.sound_bytes(test, path, tracks["audio"], orig.fb), 0, 0
    for _, n in rec["sound_chunks"]:
        got, want = sound[at:at + orig.fb * n], orig.sound[at:at + orig.fb * n]
        foreign += got != want and got.count(0) != len(got)
        at += orig.fb * n
    return sound == orig.sound, foreign, pictures


def fragment_row(test, card, problems=None, validator=True):
    """Of a card of recordings cut only by fragment boundaries: the runs its recordings lie in, the
    chunks the run boundaries cut (video, sound, kkad), the cuts joined, the gaps the salvaged files
    are left with, recordings back whole (every video sample with its sound, no gap), its recordings, and video
    samples kept and on the card. With `problems` (a list), the first thing the oracle finds wrong
    in each salvaged file is added to it. `validator` False runs the engine without the decode
    check, which refuses a wrongly joined chunk before it is written: the structure alone is judged."""
    run = harness.run_engine(test, card, validator)
    written = harness.recovered_files(run.out_dir)
    recs = card.recordings
    runs = sum(r["runs"] for r in recs)
    cuts = tuple(sum(r[k] for r in recs) for k in ("video_chunks_cut", "sound_chunks_cut", "kkad_cut"))
    whole = kept = on_card = gaps = 0
    with open(os.path.join(run.out_dir, "mendora-report.json"), encoding="utf-8") as f:
        listed = {r["clip_number"]: r for r in json.load(f)["recordings"]}
    for rec in recs:
        # a recording back from its movie box says so, and one without it does not
        if rec["clip_number"] in listed:
            test.assertEqual(listed[rec["clip_number"]]["movie_box"], movie_box_whole(card, rec),
                             "clip %d: the report's movie_box" % rec["clip_number"])
        orig = oracle.Original(card, rec)
        on_card += sum(orig.intact)
        camera_file = (rec.get("file") or {}).get("path")
        documented = rec["output_name"] in written
        sound_kept, foreign, pictures = (documented_file(test, rec, orig, os.path.join(run.out_dir, rec["output_name"]))
                                         if documented else (False, 0, 0))
        # the report tells of silent sound only in a documented file that has it
        facts = listed.get(rec["clip_number"]) or {}
        reason = facts.get("reason") or ""
        if sound_kept:
            test.assertNotIn("silent", reason, "clip %d: the report's reason" % rec["clip_number"])
        # the report tells of zeros in a documented file without some video chunks (only without
        # the decode check)
        counts = (facts.get("video_chunks"), facts.get("video_chunks_found"))
        missing = counts[0] - counts[1] if documented and None not in counts else 0
        test.assertEqual(missing > 0, "video chunks not found: zeros in it" in reason,
                         "clip %d: the report's reason" % rec["clip_number"])
        if sound_kept and pictures == len(orig.video) or not documented and camera_file and os.path.exists(
                os.path.join(run.out_dir, camera_file)):
            whole, kept = whole + 1, kept + len(orig.video)
            continue
        lines = [m for m in map(SALVAGED.match, run.stdout.splitlines())
                 if m and int(m["clip"]) == rec["clip_number"]]
        got = sum(int(m["kept"]) for m in lines)
        # the documented file keeps its pictures; only a salvaged file beside it brings the sound,
        # or the pictures it lacks
        kept += max(pictures, got)
        if problems is not None and lines:
            try:
                check_recording(test, card, rec, [os.path.join(run.out_dir, n) for n in parts_of(written, rec)], True)
            except AssertionError as e:
                problems.append("clip %d: %s" % (rec["clip_number"], str(e).splitlines()[0].split(" : ", 1)[-1][:100]))
        gaps += sum(int(m["gaps"]) for m in lines) + max(len(lines) - 1, 0)
        # the report's salvage facts are the printed ones
        salvage = (listed.get(rec["clip_number"]) or {}).get("salvage")
        if len(lines) == 1 and salvage:
            test.assertEqual((salvage["kept_samples"], salvage["gaps"], salvage["sound_percent"]),
                             (got, int(lines[0]["gaps"]), lines[0]["sound"] and int(lines[0]["sound"])),
                             "clip %d: the report's salvage" % rec["clip_number"])
        back = (len(lines) == 1 and got == len(orig.video) and lines[0]["gaps"] == "0" and
                (not rec["sound_chunks"] or lines[0]["sound"] == "100"))
        # the samples a salvaged file says the recording had: an estimate where chunks are missing,
        # which must not count another recording's pieces between two of its own as its lost chunks
        stated = max((int(m["of"]) for m in lines), default=0)
        if problems is not None and stated > len(orig.video):
            problems.append("clip %d: says the recording had %d samples, more than its %d" % (
                rec["clip_number"], stated, len(orig.video)))
        whole += back
        # and says which of the two files to play, and how much of the sound it did write is wrong
        if documented and back and ("silent" in reason or missing):
            told = " beside it has %sall of its sound" % ("every picture and " if missing else "")
            beside = os.path.basename(lines[0]["path"])
            test.assertIn(beside + told, reason, "clip %d" % rec["clip_number"])
            wrong = ("; %d sound chunks in it are not where that file has them" % foreign if foreign > 1 else
                     "; 1 sound chunk in it is not where that file has it" if foreign else "")
            test.assertEqual(reason[reason.index(told) + len(told):], wrong,
                             "clip %d: the report's reason" % rec["clip_number"])
    image = harness.read_image(card.image)
    originals = {r["name"]: oracle.Original(card, r, image) for r in recs}
    owners = oracle.owners(test, card, originals, oracle.written_files(run.out_dir))
    oracle_report.judge_report(test, card, originals, {r["name"]: oracle.Place(r["extents"]) for r in recs},
                               image, run.out_dir, owners)
    return runs, cuts, len(JOINED.findall(run.stdout)), gaps, whole, len(recs), kept, on_card


def print_fragment_row(name, row):
    runs, cuts, joined, gaps, whole, recs, kept, on_card = row
    print("%-34s %5d %12s %7d %5d %9s %15s %6.1f%%" % (
        name, runs, "%d+%d+%d" % cuts, joined, gaps, "%d/%d" % (whole, recs), "%d/%d" % (kept, on_card),
        100.0 * kept / max(on_card, 1)), flush=True)


def print_fragment_table():
    """The fragment_row of each card of recordings cut only by fragment boundaries."""
    print("%-34s %5s %12s %7s %5s %9s %15s %7s" % ("scenario", "runs", "cuts v+s+k", "joined", "gaps", "whole/of",
                                                  "frames kept/on", "frames"))
    test = unittest.TestCase()
    for scenario in FRAGMENT_CARDS:
        print_fragment_row(scenario, fragment_row(test, harness.make_card(scenario)))


if __name__ == "__main__":
    if sys.argv[1:] == ["--table"]:
        print_table()
    elif sys.argv[1:] == ["--fragments"]:
        print_fragment_table()
    else:
        unittest.main()
