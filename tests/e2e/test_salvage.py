"""Salvage judged on the scenario cards. Every recording with an intact key frame on the card that
the documented rules do not write comes back as XAVC_<clip>_<time>_salvaged.MP4 (and, where the
decoder cannot join a span to the one before it, later parts ..._salvaged_part2.MP4 and on)
holding exactly the recording's intact samples, in order, byte for byte, with its sound in step,
its frames in the camera's presentation order; the documented files and lines stay as they are,
and --no-salvage gives them alone.

    python3 test_salvage.py --table    prints what each scenario card gives back
    MENDORA_SALVAGE_KNOWN_FAILURES=run python3 test_salvage.py    runs the known failures too"""

import bisect
import os
import re
import subprocess
import sys
import unittest

import harness
import mp4_reader

# every card: on those the documented rules recover whole, salvage must add nothing but its count
SCENARIOS = subprocess.run([harness.MKCARD, "--list"], capture_output=True, text=True, check=True).stdout.split()
HEAD = re.compile(r"Salvage: (\d+) recordings? the documented rules gave up on$")
SALVAGED = re.compile(r"clip (?P<clip>\d+): salvaged(?: part (?P<part>\d+))? -> (?P<path>.+) \(video (?P<kept>\d+)/"
                      r"(?P<of>\d+) samples, (?P<gaps>\d+) gaps?, (?:sound (?P<sound>\d+) % of the kept span|no sound)\)$")
FAILED = re.compile(r"clip (\d+): salvage failed: .+$")
COUNT = re.compile(r"^  salvaged clips    : (\d+)$", re.M)
SUFFIX = "_salvaged.MP4"
PART = re.compile(r"_salvaged(?:_part(\d+))?\.MP4$")  # any salvaged file; group 1: a later part's number
MOVIE_KEPT = ("hole", "cluster-hole")  # damage that leaves the recording's movie box on the card
# cards whose salvaged files the engine does not give right yet, and how they fail; their rows are
# skipped with the reason, and leave this list as salvage learns them
KNOWN_FAILURES = {}
# cards whose salvaged files pass every check but keep fewer frames than the card holds: cuts
# the engine does not join yet (their rows check everything else)
KNOWN_GAPS = {
    "two-at-once": "a sound chunk cut at one of several cluster edges is not joined: its video is left out",
    "two-at-once-long": "a sound chunk cut at one of several cluster edges is not joined",
    "two-at-once-moov-lost-bframes": "no joins without the movie box yet",
}
RUN_KNOWN_FAILURES = os.environ.get("MENDORA_SALVAGE_KNOWN_FAILURES") == "run"  # run those rows too


def salvaged_name(rec):
    return rec["output_name"][:-len(".MP4")] + SUFFIX


class Original:
    """A recording as the camera wrote it, and which of its samples are intact on the card."""

    def __init__(self, card, rec):
        data = harness.read(card.recording_path(rec))
        self.video = [data[o:o + n] for o, n, _, _ in rec["video_samples"]]
        self.key = [k for _, _, k, _ in rec["video_samples"]]
        # a sample a fragment boundary cut in two is on the card all the same
        split = set(rec.get("video_samples_split", []))
        self.intact = [int(i or k in split) for k, (_, _, _, i) in enumerate(rec["video_samples"])]
        self.sound = b"".join(data[o:o + 4 * n] for o, n in rec["sound_chunks"])
        self.sound_intact = rec["sound_intact"]
        self.spf = rec["sound_rate"] // rec["frame_rate"]  # sound samples per frame
        self.rates = (rec["frame_rate"], rec["sound_rate"])
        self.dithered = rec["sound_dithered"]
        self.codec = rec["codec"]
        # presentation positions in frames, in decode order; a tidy stream is not reordered
        self.pts = rec.get("video_pts", list(range(len(self.video))))
        self.open_gop = rec.get("stream", {}).get("open_gop", False)

    def sound_span_intact(self, frame):
        return within(self.sound_intact, frame * self.spf, (frame + 1) * self.spf)

    def decodable(self):
        """Intact frames whose key frame and every frame between are intact too. In an open group
        a leading picture (presented before its key frame) refers to the group before, which must
        be whole up to that key frame, and to the leading pictures before it; no later picture
        refers to a leading one."""
        out, chain, before, key_pts, leading_ok = [], False, False, None, False
        for i, ok in enumerate(self.intact):
            if self.key[i]:
                before, key_pts, leading_ok = chain, self.pts[i], True
            if self.open_gop and not self.key[i] and key_pts is not None and self.pts[i] < key_pts:
                leading_ok = leading_ok and ok
                out.append(chain and before and leading_ok)
                continue
            chain = ok and (self.key[i] or chain)
            out.append(chain)
        return out

    def required(self):
        """The frames a salvage must keep: decodable, with their sound intact."""
        return [i for i, ok in enumerate(self.decodable()) if ok and self.sound_span_intact(i)]


def within(ranges, begin, end):
    """1 when [begin, end) lies inside one of the sorted, disjoint [b, e) ranges."""
    k = bisect.bisect_right([b for b, _ in ranges], begin) - 1
    return k >= 0 and ranges[k][1] >= end


def common_length(a, a0, b, b0):
    """How many leading 4-byte samples a[a0:] and b[b0:] share."""
    lo, hi = 0, min(len(a) - a0, len(b) - b0) // 4
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if a[a0:a0 + 4 * mid] == b[b0:b0 + 4 * mid]:
            lo = mid
        else:
            hi = mid - 1
    return lo


def read_movie(test, path):
    """The salvaged file's tracks: handler -> tables with every sample's bytes."""
    data = harness.read(path)
    top = mp4_reader.boxes(data, 0, len(data))
    test.assertEqual([b[0] for b in top], ["ftyp", "mdat", "moov"], "%s: top-level boxes" % path)
    moov, mdat = top[2], top[1]
    tracks = {}
    for trak in [b for b in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3]) if b[0] == "trak"]:
        t = mp4_reader.track_samples(data, trak)
        test.assertNotIn(t["handler"], tracks, "%s: two %s tracks" % (path, t["handler"]))
        t["bytes"] = [data[o:o + n] for o, n in t["samples"]]
        tracks[t["handler"]] = t
    test.assertIn("vide", tracks, path)
    test.assertLessEqual(set(tracks), {"vide", "soun"}, "%s: tracks" % path)
    # the media data holds the kept samples and nothing else
    pieces = sorted(s for t in tracks.values() for s in t["samples"])
    at = mdat[1] + mdat[2]
    for offset, size in pieces:
        test.assertEqual(offset, at, "%s: media data bytes %d-%d belong to no sample" % (path, at, offset))
        at += size
    test.assertEqual(at, mdat[1] + mdat[3], "%s: the media data runs on past the last sample" % path)
    mvhd = mp4_reader.child(data, moov, "mvhd")
    movie_scale, movie_duration = (mp4_reader.full_box_value(data, mvhd, 12, 20),
                                   mp4_reader.full_box_value(data, mvhd, 16, 24))
    for t in tracks.values():
        test.assertEqual(t["media_duration"], sum(t["deltas"]), "%s: %s media duration" % (path, t["handler"]))
        test.assertEqual(len(t["deltas"]), len(t["samples"]), path)
        seconds = t["media_duration"] / t["timescale"]
        test.assertLessEqual(abs(t["track_duration"] - seconds * movie_scale), 1, "%s: track duration" % path)
    test.assertLessEqual(abs(movie_duration - max(t["track_duration"] for t in tracks.values())), 1,
                         "%s: movie duration" % path)
    return tracks


def map_video(test, name, orig, video):
    """The recording's index of every kept video sample: the next intact sample with its bytes."""
    index, at = [], 0
    for k, sample in enumerate(video["bytes"]):
        while at < len(orig.video) and orig.video[at] != sample:
            at += 1
        test.assertLess(at, len(orig.video), "%s: video sample %d is no later sample of the recording" % (name, k))
        test.assertTrue(orig.intact[at], "%s: video sample %d is sample %d, which the card lost" % (name, k, at))
        index.append(at)
        at += 1
    return index


def map_sound(test, name, orig, sound, index):
    """Runs (output sample, recording sample, count) the kept sound is made of. Dithered sound is
    found where its bytes occur; a plain sine repeats, so it must be the sound of its picture."""
    got, runs, m = b"".join(sound["bytes"]), [], 0
    total = len(got) // 4
    if orig.dithered:
        test.assertGreaterEqual(total, 4, name)
        where = {}
        for s in range(len(orig.sound) // 4 - 3):
            where.setdefault(orig.sound[4 * s:4 * s + 16], s)
        while m < total:
            probe = min(m, total - 4)
            s = where.get(got[4 * probe:4 * probe + 16])
            test.assertIsNotNone(s, "%s: sound sample %d is no sound of the recording" % (name, m))
            s += m - probe
            count = common_length(got, 4 * m, orig.sound, 4 * s)
            runs.append((m, s, count))
            m += count
        return runs
    spf = orig.spf
    while m < total:
        k = min(m // spf, len(index) - 1)
        s = index[k] * spf + m - k * spf
        count = min(common_length(got, 4 * m, orig.sound, 4 * s), (k + 1) * spf - m if k + 1 < len(index) else total)
        test.assertGreater(count, 0, "%s: sound sample %d is not the sound of its picture" % (name, m))
        runs.append((m, s, count))
        m += count
    return runs


def check_sound(test, name, orig, sound, index):
    """Sound: the recording's own intact samples, in order, in step with the picture (within a
    frame at every moment and in total) and all of the intact sound of the kept frames."""
    spf, frames = orig.spf, len(index)
    if sound is None:
        test.assertEqual([i for i in index if orig.sound_span_intact(i)], [], "%s: the sound was left out" % name)
        return 0
    test.assertEqual(sound["format"], "twos", name)
    test.assertEqual(sound["timescale"], orig.rates[1], name)
    test.assertEqual(set(sound["deltas"]), {1}, name)
    test.assertEqual(set(len(b) for b in sound["bytes"]), {4}, name)
    runs = map_sound(test, name, orig, sound, index)
    last = -1
    for m, s, count in runs:
        test.assertGreater(s, last, "%s: sound sample %d repeats or goes back in the recording" % (name, m))
        test.assertTrue(within(orig.sound_intact, s, s + count),
                        "%s: sound samples %d-%d are recording samples the card lost" % (name, m, m + count))
        last = s + count - 1
        # the offset from the picture is constant between frame starts and run starts
        for cut in sorted({m} | set(range((m // spf + 1) * spf, m + count, spf))):
            k = cut // spf
            if k < frames:
                drift = s + cut - m - (index[k] * spf + cut - k * spf)
                test.assertLessEqual(abs(drift), spf, "%s: sound sample %d is %d samples off its picture"
                                     % (name, cut, drift))
    total = sum(c for _, _, c in runs)
    test.assertLessEqual(abs(total - frames * spf), spf, "%s: sound lasts %d samples, the picture %d frames"
                         % (name, total, frames))
    kept = []
    for _, s, count in runs:  # in recording order, as checked above
        if kept and kept[-1][1] == s:
            kept[-1][1] = s + count
        else:
            kept.append([s, s + count])
    for i in index:
        if orig.sound_span_intact(i):
            test.assertTrue(within(kept, i * spf, (i + 1) * spf), "%s: the sound of frame %d was left out" % (name, i))
    return total


def probe(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_type,codec_name,width,height,sample_rate,channels", "-of", "csv=p=0", path],
                          capture_output=True, text=True)
    return sorted(line for line in done.stdout.splitlines() if ",data" not in line)


def presentation_times(path):
    """Every video packet's presentation time in the track's time scale, in decode order."""
    done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts",
                           "-of", "csv=p=0", path], capture_output=True, text=True)
    return [int(v) if v.lstrip("-").isdigit() else None for v in (x.strip(",") for x in done.stdout.split()) if v]


def check_presentation(test, name, orig, path, index, delta, gaps_known=False):
    """The kept frames play in the camera's presentation order, each span of samples kept without
    a gap at one offset from the camera's times; a recording whole on the card comes back whole."""
    pts = presentation_times(path)
    test.assertEqual(len(pts), len(index), "%s: video packets" % name)
    test.assertNotIn(None, pts, "%s: a video packet has no presentation time" % name)
    camera = [orig.pts[i] * delta for i in index]
    order = sorted(range(len(index)), key=lambda k: camera[k])
    for a, b in zip(order, order[1:]):
        test.assertLess(pts[a], pts[b], "%s: samples %d and %d are presented out of the camera's order"
                        % (name, index[a], index[b]))
    start = 0
    for k in range(1, len(index) + 1):
        if k == len(index) or index[k] != index[k - 1] + 1:
            shifts = sorted({pts[j] - camera[j] for j in range(start, k)})
            test.assertEqual(len(shifts), 1, "%s: samples %d-%d are presented at offsets %s from the camera's"
                             % (name, index[start], index[k - 1], shifts[:4]))
            start = k
    if all(orig.intact) and not gaps_known:
        test.assertEqual(index, list(range(len(orig.video))), "%s: a whole recording comes back whole" % name)


def check_salvaged_file(test, card, rec, path, gaps_known=False):
    """Every check of one salvaged file but the frames it must keep; returns (the recording's index
    of each kept video sample, gaps, kept sound samples)."""
    name = os.path.basename(path)
    orig = Original(card, rec)
    tracks = read_movie(test, path)
    video = tracks["vide"]
    test.assertIn(video["format"], {"avc": ("avc1", "avc3"), "hevc": ("hvc1", "hev1")}[orig.codec], name)
    test.assertEqual(len(set(video["deltas"])), 1, "%s: the picture changes rate" % name)
    test.assertEqual(video["timescale"], video["deltas"][0] * orig.rates[0], "%s: frame rate" % name)
    index = map_video(test, name, orig, video)
    check_presentation(test, name, orig, path, index, video["deltas"][0], gaps_known)
    decodable = orig.decodable()
    undecodable = [i for i in index if not decodable[i]]
    test.assertEqual(undecodable, [], "%s: kept frames refer to frames the card lost" % name)
    sync = set(range(len(index))) if video["sync"] is None else set(video["sync"])
    test.assertEqual(sync, {k for k, i in enumerate(index) if orig.key[i]}, "%s: key frames" % name)
    sound = check_sound(test, name, orig, tracks.get("soun"), index)
    settings = [line for line in probe(card.recording_path(rec)) if sound or ",video," in line]
    test.assertEqual(probe(path), settings, "%s: stream settings" % name)
    test.assertEqual(harness.decode_messages(path), "", "%s does not decode cleanly" % name)
    gaps = sum(1 for a, b in zip(index, index[1:]) if b != a + 1)
    return index, gaps, sound


def check_recording(test, card, rec, paths, gaps_known=False):
    """Every check of a recording's salvaged files, its first and its later parts in order: each
    part holds samples after the last one's, and together they keep every frame they must (unless
    the card's gaps are known)."""
    kept, results = [], []
    for path in paths:
        index, gaps, sound = check_salvaged_file(test, card, rec, path, gaps_known)
        test.assertTrue(not kept or index[0] > kept[-1], "%s starts before the part before it ends" % path)
        kept += index
        results.append((len(index), gaps, sound))
    missing = sorted(set(Original(card, rec).required()) - set(kept))
    if not gaps_known:
        test.assertEqual(missing, [], "%s: intact frames left out" % os.path.basename(paths[0]))
    return results


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
    count, rest = int(COUNT.match(lines[c]).group(1)), lines[:c] + lines[c + 1:]
    heads = [i for i, line in enumerate(rest) if HEAD.match(line)]
    test.assertLessEqual(len(heads), 1, "more than one salvage block")
    if not heads:
        return [], rest, count
    h = heads[0]
    end = rest.index("Complete.", h) - 1
    test.assertEqual((rest[h - 1], rest[end]), ("", ""), "blank lines around the salvage block")
    return rest[h:end], rest[:h - 1] + rest[end:], count


def lines_of(run):
    """A run's standard output lines with its own folders named alike."""
    return run.stdout.replace(run.work_dir, "WORK").replace(run.out_dir, "OUT").splitlines()


def check_card(test, scenario):
    """A run with --no-salvage and one without it on a scenario card, and every salvage check."""
    card = harness.make_card(scenario)
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
            if r["output_name"] not in documented and any(Original(card, r).decodable())}
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
    for name, rec in sorted(want.items()):
        with test.subTest(file=name):
            paths = [os.path.join(run.out_dir, n) for n in files[name]]
            results = check_recording(test, card, rec, paths, scenario in KNOWN_GAPS)
            for part, (path, (kept, gaps, sound)) in enumerate(zip(paths, results)):
                m = lines[(rec["clip_number"], part + 1)]
                test.assertEqual(os.path.normpath(m["path"]), os.path.normpath(os.path.join("OUT", files[name][part])))
                frames = len(rec["video_samples"])
                test.assertEqual((int(m["kept"]), int(m["gaps"])), (kept, gaps), m.group(0))
                test.assertTrue(kept <= int(m["of"]) <= frames, m.group(0))
                if rec["damage"] in MOVIE_KEPT:  # the movie box counts every sample
                    test.assertEqual(int(m["of"]), frames, m.group(0))
                if sound:
                    test.assertLessEqual(abs(int(m["sound"]) - 100 * sound / (kept * Original(card, rec).spf)), 1,
                                         m.group(0))
                else:
                    test.assertIsNone(m["sound"], m.group(0))


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
        others = [Original(card, r) for r in card.recordings if r["output_name"] not in documented]
        kept, problem = 0, "" if run.code == 0 else "exit code %d" % run.code
        for name, rec in sorted(salvaged.items()):
            try:
                paths = [os.path.join(run.out_dir, n) for n in parts_of(written, rec)]
                kept += sum(k for k, _, _ in check_recording(test, card, rec, paths))
            except AssertionError as e:
                problem = problem or str(e).splitlines()[0].split(" : ", 1)[-1][:100]
        counts = "%d/%d/%d" % (kept, sum(len(o.required()) for o in others), sum(sum(o.intact) for o in others))
        kinds = sorted({stream_kind(r) for r in card.recordings if r["output_name"] not in documented})
        print("%-30s %-20s %10d %10d %9d  %-21s %s" % (scenario, ",".join(kinds) or "-", len(card.recordings),
                                                       len(documented), len(salvaged), counts, problem))


JOINED = re.compile(r"^  joined cut: ", re.M)
FRAGMENT_CARDS = ["two-at-once", "two-at-once-moov-lost", "two-at-once-bframes-hevc", "two-at-once-moov-lost-bframes",
                  "two-at-once-long", "two-at-once-short", "two-at-once-fat-zeroed"]


def print_fragment_table():
    """Per card of recordings cut only by fragment boundaries: the runs its recordings lie in, the
    chunks (video, sound, kkad) the run boundaries cut, the cuts joined, recordings back whole
    (every video sample, no gap) of those on the card, and video samples kept of those on it."""
    print("%-34s %5s %5s %7s %13s %15s" % ("scenario", "runs", "cuts", "joined", "whole/of", "frames kept/on"))
    test = unittest.TestCase()
    for scenario in FRAGMENT_CARDS:
        card = harness.make_card(scenario)
        run = harness.run_engine(test, card)
        written = harness.recovered_files(run.out_dir)
        recs = card.recordings
        runs = sum(r["runs"] for r in recs)
        cuts = sum(r["video_chunks_cut"] + r["sound_chunks_cut"] + r["kkad_cut"] for r in recs)
        whole = kept = on_card = 0
        for rec in recs:
            orig = Original(card, rec)
            on_card += sum(orig.intact)
            camera_file = (rec.get("file") or {}).get("path")
            if rec["output_name"] in written or camera_file and os.path.exists(os.path.join(run.out_dir, camera_file)):
                whole, kept = whole + 1, kept + len(orig.video)
                continue
            lines = [m for m in map(SALVAGED.match, run.stdout.splitlines())
                     if m and int(m["clip"]) == rec["clip_number"]]
            got = sum(int(m["kept"]) for m in lines)
            kept += got
            whole += len(lines) == 1 and got == len(orig.video) and lines[0]["gaps"] == "0"
        print("%-34s %5d %5d %7d %13s %15s" % (scenario, runs, cuts, len(JOINED.findall(run.stdout)),
                                              "%d/%d" % (whole, len(recs)), "%d/%d" % (kept, on_card)))


if __name__ == "__main__":
    if sys.argv[1:] == ["--table"]:
        print_table()
    elif sys.argv[1:] == ["--fragments"]:
        print_fragment_table()
    else:
        unittest.main()
