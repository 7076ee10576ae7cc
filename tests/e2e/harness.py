"""Shared end-to-end helpers: sample cards made with mendora-mkcard, runs of the real engine on
them, and the checks every recovery must pass (image untouched, names, bytes, playback, cache)."""

import atexit
import contextlib
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import types
import unittest

BUILD_DIR = os.environ.get("MENDORA_BUILD_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
ENGINE = os.path.join(BUILD_DIR, "mendora")
# the cards' generator: this build's, or another build's of the same sources (MENDORA_CARD_MAKER):
# the sanitizers' build takes the plain build's, three times as fast, and runs its own in
# test_mkcard.py
OWN_MKCARD = os.path.join(BUILD_DIR, "mendora-mkcard")
MKCARD = os.environ.get("MENDORA_CARD_MAKER") or OWN_MKCARD
if not os.path.exists(MKCARD):
    MKCARD = OWN_MKCARD
_BUILT_MKCARD = MKCARD  # only its cards are cached: a test may point MKCARD at an installed generator
# what ffmpeg and ffprobe said of each file's bytes; another build's folder may be shared, since the
# same bytes read alike whichever engine wrote them
READ_CACHE = os.environ.get("MENDORA_READ_CACHE") or os.path.join(BUILD_DIR, "read-cache")
CACHE_HIT = "  scan cache hit - full image scan reused"
DOCUMENTED = ("--no-salvage",)  # the files and lines of the documented rules alone
REPORT_FILES = ("mendora-report.html", "mendora-report.json")  # written beside the clips unless DOCUMENTED

_root = tempfile.mkdtemp(prefix="mendora-e2e-")
atexit.register(shutil.rmtree, _root, True)
_cards = {}
_made = []  # the folders made in _root, in order


def _scratch_dir(prefix):
    folder = tempfile.mkdtemp(prefix=prefix, dir=_root)
    _made.append(folder)
    return folder


@contextlib.contextmanager
def scratch():
    """Removes, when the block ends, every card made for custom options and every run's folder
    made inside it: a test of many cards holds one card's bytes at a time, not all of them (a test
    machine's disk may have a few GiB to spare)."""
    first = len(_made)
    try:
        yield
    finally:
        gone = set(_made[first:])
        del _made[first:]
        for key in [k for k, c in _cards.items() if c.folder in gone]:
            del _cards[key]
        for folder in gone:
            shutil.rmtree(folder, True)


def project_version():
    """The version the build was made with, from the project() line of the top CMakeLists.txt."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no project version in %s/CMakeCache.txt" % BUILD_DIR)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha256(path):
    """The file's hash, read a piece at a time into one buffer (a card image read whole into a new
    object of its size costs more than the hash)."""
    digest, piece = hashlib.sha256(), bytearray(1 << 20)
    view = memoryview(piece)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(piece):
            digest.update(view[:n])
    return digest.hexdigest()


_image = {}


def read_image(path):
    """The bytes of a card image, kept from the last call while the file is the same one, of the
    same size and time: the judges of one card read its image for each recording."""
    st = os.stat(path)
    key = (os.path.realpath(path), st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    last = _image.get("last")
    if not last or last[0] != key:
        last = _image["last"] = (key, read(path))
    return last[1]


class Card:
    """A generated card folder: card.img, truth.json, recordings/, expected/, expected_keep/."""

    def __init__(self, folder):
        self.folder = folder
        self.image = os.path.join(folder, "card.img")
        with open(os.path.join(folder, "truth.json")) as f:
            self.truth = json.load(f)
        self.recordings = self.truth["recordings"]

    def recording_path(self, rec):
        return os.path.join(self.folder, "recordings", rec["name"] + ".MP4")

    def expected_path(self, rec, keep):
        return os.path.join(self.folder, "expected_keep" if keep else "expected", rec["output_name"])

    def written(self, validator):
        """The recordings a run should write, by output name."""
        key = "recover_validator" if validator else "recover"
        return {r["output_name"]: r for r in self.recordings if r[key]}


def make_card(scenario, *options):
    """Makes (once per process) the card of a built-in scenario or of custom options. A built-in
    scenario's card is made once per generator for every test (in card-cache/ beside the
    generator, so that the sanitizers' build reads the plain build's): tests only read it, and copy
    it before they change it. Another generator (an
    installed one) makes its cards afresh, leaving the build's alone."""
    key = (scenario,) + options
    if key not in _cards:
        if scenario and not options and MKCARD == _BUILT_MKCARD:
            _cards[key] = Card(_scenario_card(scenario))
        else:
            folder = _scratch_dir("card-")
            _generate(folder, ["--scenario", scenario] if scenario else [], options)
            _cards[key] = Card(folder)
    return _cards[key]


def _generate(folder, *args):
    done = subprocess.run([MKCARD, "--out", folder] + [a for part in args for a in part], capture_output=True,
                          text=True)
    if done.returncode != 0:
        raise AssertionError("mendora-mkcard failed: %s" % done.stderr)


def _scenario_card(scenario):
    """The cached card folder of a scenario, made by this generator; two tests that want it at the
    same time both make it, and the first one's stays."""
    cache = os.path.join(os.path.dirname(MKCARD), "card-cache")
    generator = hashlib.sha256(read(MKCARD)).hexdigest()[:16]
    folder = os.path.join(cache, generator, scenario)
    if not os.path.isdir(os.path.dirname(folder)):  # a new generator: the old one's cards go
        for old in os.listdir(cache) if os.path.isdir(cache) else []:
            shutil.rmtree(os.path.join(cache, old), True)
    if not os.path.isdir(folder):
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        made = tempfile.mkdtemp(prefix="making-", dir=os.path.dirname(folder))
        _generate(made, ["--scenario", scenario])
        try:
            os.rename(made, folder)
        except OSError:  # the other test's card is there
            shutil.rmtree(made, True)
    return folder


def run_engine(test, card, validator=True, keep=False, work_dir=None, out_dir=None, image=None, prefix=(),
               stdout=subprocess.PIPE, timeout=600, extra=(), source=None, env=None):
    """Runs the engine (after the command `prefix`, if any) over the card's image or `image` with
    --recover-all and the `extra` options; the image (or `source`, the file behind a mount of it)
    must come out unchanged. A hang fails the test."""
    image = image or card.image
    source = source or image
    work_dir = work_dir or _scratch_dir("work-")
    out_dir = out_dir or _scratch_dir("out-")
    args = list(prefix) + [ENGINE, image, "--work-dir", work_dir, "-o", out_dir, "--recover-all", "--no-progress"]
    args += ([] if validator else ["--no-validator"]) + (["--keep-metadata-track"] if keep else []) + list(extra)
    before = sha256(source)
    if {"--clip", "--recover"} & set(extra):  # a queue option among them replaces --recover-all
        args.remove("--recover-all")
    try:
        done = subprocess.run(args, stdout=stdout, stderr=subprocess.PIPE, text=True, errors="replace",
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        test.fail("the engine hung: %s" % " ".join(args))
    test.assertEqual(before, sha256(source), "the engine changed the source image")
    return types.SimpleNamespace(code=done.returncode, stdout=done.stdout or "", stderr=done.stderr,
                                 out_dir=out_dir, work_dir=work_dir)


def recovered_files(folder):
    """The files a run left in `folder`, without its report."""
    return sorted(n for n in os.listdir(folder) if n not in REPORT_FILES)


_tools = {}


def _tools_version():
    """What the cached readings of files were made by: the version lines of ffmpeg and ffprobe
    (their libraries' versions among them)."""
    if "version" not in _tools:
        lines = [subprocess.run([tool, "-version"], capture_output=True, text=True).stdout
                 for tool in ("ffmpeg", "ffprobe")]
        _tools["version"] = hashlib.sha256("".join(lines).encode()).hexdigest()[:16]
    return _tools["version"]


def read_with(args, path):
    """(stdout, stderr) of ffmpeg or ffprobe reading the file `path` (one of `args`). What they say
    depends only on the file's bytes (and the name's extension, which a format probe may weigh), so
    the same bytes are read once per tool version (in READ_CACHE), wherever, whenever and by
    whichever build they were written; the path comes back in place of the one the first reading
    named."""
    try:
        data = read(path)
    except OSError:
        data = None
    if data is None:  # nothing to key on: the tool says what is wrong
        done = subprocess.run(args, capture_output=True, text=True, errors="replace")
        return done.stdout, done.stderr
    cache = READ_CACHE
    version = _tools_version()
    named = [a if a != path else os.path.splitext(path)[1] for a in args]
    key = hashlib.sha256(json.dumps(named).encode() + b"\0" + data).hexdigest()
    entry = os.path.join(cache, version, key[:2], key)
    try:
        with open(entry, encoding="utf-8") as f:
            out, err = json.load(f)
        return out.replace("\0PATH\0", path), err.replace("\0PATH\0", path)
    except (OSError, ValueError):
        pass
    done = subprocess.run(args, capture_output=True, text=True, errors="replace")
    if not os.path.isdir(os.path.join(cache, version)):  # new tools: the old ones' readings go
        for old in set(os.listdir(cache) if os.path.isdir(cache) else []) - {version}:
            shutil.rmtree(os.path.join(cache, old), True)
    os.makedirs(os.path.dirname(entry), exist_ok=True)
    made = tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=os.path.dirname(entry), delete=False)
    with made:
        json.dump([done.stdout.replace(path, "\0PATH\0"), done.stderr.replace(path, "\0PATH\0")], made)
    os.replace(made.name, entry)
    return done.stdout, done.stderr


def decode_messages(path):
    out, err = read_with(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"], path)
    return (out + err).strip()


def stream_types(path):
    out, _ = read_with(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0", path], path)
    return [line.strip() for line in out.splitlines() if line.strip()]


def check_output_bytes(test, card, rec, path, keep):
    """The written file has the expected length and matches the expected output on every byte the
    truth knows exactly."""
    got, want = read(path), read(card.expected_path(rec, keep))
    size = rec["output_size_keep" if keep else "output_size"]
    test.assertEqual(len(want), size)
    test.assertEqual(len(got), size, "%s: output length" % rec["output_name"])
    for begin, end in rec["known_keep" if keep else "known"]:
        if got[begin:end] != want[begin:end]:
            at = next(i for i in range(begin, end) if got[i] != want[i])
            test.fail("%s: byte %d differs from the expected output (known range %d-%d)"
                      % (rec["output_name"], at, begin, end))


def check_recovery(test, card, validator=True, keep=False, extra=()):
    """One full recovery of the card and every check that applies to it; returns the run."""
    run = run_engine(test, card, validator=validator, keep=keep, extra=extra)
    test.assertEqual(run.code, 0, "exit code; stderr:\n%s" % run.stderr)
    written = sorted(os.listdir(run.out_dir))
    test.assertFalse([n for n in written if n.endswith(".partial")], "a .partial file was left behind")
    expected = card.written(validator)
    test.assertEqual(written, sorted(expected), "names written\nstdout:\n%s\nstderr:\n%s" % (run.stdout, run.stderr))
    line = "  recoverable clips=%d/%d" % (card.truth["recoverable_clips"], card.truth["clips"])
    test.assertIn(line, run.stdout.splitlines())
    summaries = summary_lines(run.stdout)
    for name, rec in expected.items():
        path = os.path.join(run.out_dir, name)
        check_output_bytes(test, card, rec, path, keep)
        check_summary(test, rec, summaries.get(name), keep)
        if rec["damage"] == "none" and not rec["video_chunks_cut"] and not rec.get("video_chunks_out_of_reach"):
            test.assertEqual(decode_messages(path), "", "%s does not decode cleanly" % name)
    if validator:
        for rec in card.recordings:
            if rec["recover"] and not rec["recover_validator"]:
                test.assertRegex(run.stderr, refusal_pattern(rec), "why clip %d was not written" % rec["clip_number"])
    return run


def refusal_pattern(rec):
    """The message with which the validator pass gives up a recording that is not written."""
    clip = "(?m)^clip %d: " % rec["clip_number"]
    # a lost video chunk is either not found at all or found and fails to decode
    return clip + "(video incomplete; validation cannot pass|AVC decode validation failed|AVC validation FAIL)"


SUMMARY = re.compile(r"  video (\d+)/(\d+); audio (\d+)/(\d+); cadence \d+; final-adjacent \d+; "
                     r"silent (\d+); RTMD removed (\d+)$")


def summary_lines(stdout):
    """The per-clip summary line printed before each "  -> " path, by file name."""
    found, last = {}, None
    for line in stdout.splitlines():
        if line.startswith("  video "):
            last = line
        elif line.startswith("  -> "):
            found[os.path.basename(line[5:].replace("\\", "/"))] = last
    return found


def check_summary(test, rec, line, keep):
    """Chunk counts of a written clip: every video chunk unless one was damaged, at least every
    sound chunk the truth knows, and the metadata track removed unless kept."""
    test.assertIsNotNone(line, "no summary line for %s" % rec["output_name"])
    m = SUMMARY.match(line)
    test.assertIsNotNone(m, line)
    video, video_total, audio, audio_total, silent, removed = map(int, m.groups())
    n = rec["video_chunks"]
    test.assertEqual((video_total, audio_total), (n, n), line)
    # a chunk cut by a fragment boundary, or too far from the kkad box that describes it, is not found
    test.assertEqual(video, (n - 1 if rec["damage"] == "hole" else n) - rec["video_chunks_cut"] -
                     rec.get("video_chunks_out_of_reach", 0), line)
    test.assertGreaterEqual(audio, rec["audio_chunks_known"], line)
    test.assertEqual(audio + silent, n, line)
    test.assertEqual(removed, 0 if keep else 1, line)


def check_cache_reused(test, card, first):
    """A second run with the working folder of a first one reuses the scan and writes the same files."""
    test.assertNotIn(CACHE_HIT, first.stdout.splitlines())
    second = run_engine(test, card, validator=False, work_dir=first.work_dir, extra=DOCUMENTED)
    test.assertEqual(second.code, 0, second.stderr)
    test.assertIn(CACHE_HIT, second.stdout.splitlines())
    test.assertEqual(sorted(os.listdir(first.out_dir)), sorted(os.listdir(second.out_dir)))
    for name in os.listdir(first.out_dir):
        test.assertEqual(sha256(os.path.join(first.out_dir, name)), sha256(os.path.join(second.out_dir, name)),
                         "%s differs between the scan and the cached run" % name)


def check_decoded_during_the_scan(test, card, first):
    """The decode check of the recordings a first run spooled whole, made while its scan read on,
    gives every clip the lines and the file the rebuild's own check gives in a run from the scan
    cache: a second run with the first one's working folder."""
    second = run_engine(test, card, work_dir=first.work_dir, extra=DOCUMENTED)
    test.assertEqual(second.code, 0, second.stderr)
    test.assertIn(CACHE_HIT, second.stdout.splitlines())
    lines = [line for line in second.stdout.replace(second.out_dir, first.out_dir).splitlines() if line != CACHE_HIT]
    test.assertEqual(first.stdout.splitlines(), lines)
    test.assertEqual(first.stderr, second.stderr.replace(second.out_dir, first.out_dir))
    test.assertEqual(sorted(os.listdir(first.out_dir)), sorted(os.listdir(second.out_dir)))
    for name in os.listdir(first.out_dir):
        test.assertEqual(sha256(os.path.join(first.out_dir, name)), sha256(os.path.join(second.out_dir, name)), name)


def check_generated_card(test, card, scenario):
    """The generator's own card: its recordings play, lie on the card where the truth says and are
    numbered in card order, and random bytes never pose as a signature."""
    image = read(card.image)
    base = 1048576 if scenario == "partition" else 0
    test.assertEqual(image[base + 3:base + 11], b"EXFAT   ")
    test.assertEqual(len(image), card.truth["image_size"])
    order = sorted(card.recordings, key=lambda r: r["image_offset"])
    test.assertEqual([r["clip_number"] for r in order], list(range(1, len(order) + 1)))
    for rec in card.recordings:
        with test.subTest(recording=rec["name"]):
            path = card.recording_path(rec)
            test.assertEqual(stream_types(path), ["video", "audio", "data"])
            test.assertEqual(decode_messages(path), "")
            test.assertTrue(rec["output_name"].startswith("XAVC_%04d_" % rec["clip_number"]))
            data, at = read(path), rec["image_offset"]
            test.assertEqual(image[at:at + 4096], data[:4096])
            if rec["damage"] == "none" and scenario != "fragmented":
                test.assertEqual(image[at:at + len(data)], data)
    if scenario in ("reformatted", "partition", "fragmented", "moov-lost", "hole"):
        test.assertEqual(image.count(b"ftypXAVC"), len(card.recordings))
        test.assertEqual(image.count(b"kkad"), sum(r["video_chunks"] for r in card.recordings))
        test.assertEqual(image.count(b"moov"), sum(1 for r in card.recordings if r["damage"] != "moov-lost"))


def scenario_cases(namespace, *scenarios):
    """Adds to namespace one TestCase class per built-in scenario, with the standard recovery checks
    (test_salvage.SCENARIO_CHECKED names the scenarios given them, whose run it does not check again)."""
    for scenario in scenarios:
        class ScenarioTest(unittest.TestCase):
            @classmethod
            def setUpClass(cls):
                cls.card = make_card(cls.scenario)

            def test_recover_all_with_validator_then_from_the_scan_cache(self):
                check_decoded_during_the_scan(self, self.card, check_recovery(self, self.card, validator=True,
                                                                               extra=DOCUMENTED))

            def test_recover_all_without_validator_then_from_the_scan_cache(self):
                check_cache_reused(self, self.card, check_recovery(self, self.card, validator=False,
                                                                   extra=DOCUMENTED))

            def test_keep_metadata_track(self):
                check_recovery(self, self.card, validator=False, keep=True, extra=DOCUMENTED)

            def test_generated_card(self):
                check_generated_card(self, self.card, self.scenario)

        name = "Scenario_" + re.sub(r"\W", "_", scenario)
        ScenarioTest.scenario, ScenarioTest.__name__, ScenarioTest.__qualname__ = scenario, name, name
        namespace[name] = ScenarioTest
