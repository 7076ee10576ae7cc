"""The file-system pass end to end: cards given a camera's file tree (live, deleted, quick-formatted
over), recovered with --recover-all. Recordings whose extent the content confirms come back as the
camera's own files byte for byte under PRIVATE/M4ROOT/CLIP with their times and sidecars; a set
whose extent the content refuses only names its recording, which takes the documented path; a
name already taken gets _2; unsafe names stay inside the output folder; --no-salvage writes what it
always did. Every run leaves the image unchanged (run_engine checks it)."""

import calendar
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import harness
import mp4_reader
from camera_tree import JPEG, XML, Volume, add_camera_tree

CLIP = os.path.join("PRIVATE", "M4ROOT", "CLIP")
THMBNL = os.path.join("PRIVATE", "M4ROOT", "THMBNL")
# 2024-05-17 10:20:30.45 at UTC+02:00, as every set of camera_tree holds it
MODIFIED_NS = (calendar.timegm((2024, 5, 17, 8, 20, 30)) * 100 + 45) * 10 ** 7
OLDER = (2023, 1, 2, 3, 4, 6, 0, 0)


def tree_card(state, **options):
    """A card of two recordings with its camera tree written in the given state."""
    card = harness.make_card(None, "--count", "2", "--frames", "24", "--size-mib", "32")
    folder = tempfile.mkdtemp(prefix="tree-", dir=os.path.dirname(card.folder))
    shutil.copytree(card.folder, folder, dirs_exist_ok=True)
    copy = harness.Card(folder)
    add_camera_tree(copy, "deleted" if state == "deleted" else "live", **options)
    if state == "reformat":
        subprocess.run(["mkfs.exfat", "-c", str(copy.truth["cluster_bytes"]), copy.image], check=True,
                       capture_output=True)
    return copy


class CameraFiles(unittest.TestCase):
    def check_camera_files(self, card, run, state_word, names=("C0001.MP4", "C0002.MP4")):
        self.assertEqual(run.code, 0, run.stderr)
        for rec, name in zip(card.recordings, names):
            path = os.path.join(run.out_dir, CLIP, name)
            self.assertEqual(harness.read(path), harness.read(card.recording_path(rec)), "%s byte for byte" % name)
            self.assertEqual(os.stat(path).st_mtime_ns, MODIFIED_NS, "%s: modification time" % name)
            stem = name.rsplit(".", 1)[0]
            self.assertEqual(harness.read(os.path.join(run.out_dir, CLIP, stem + "M01.XML")), XML)
            self.assertEqual(harness.read(os.path.join(run.out_dir, THMBNL, stem + "T01.JPG")), JPEG)
            self.assertIn("clip %d: " % rec["clip_number"], run.stdout)
            self.assertRegex(run.stdout, r"(?m)^clip %d: .*%s \(%s.*modified 2024-05-17 10:20:30\.45 \+02:00"
                             % (rec["clip_number"], name.replace(".", r"\."), state_word))
            self.assertIn("\n  -> %s\n" % path, run.stdout)
        # neither the documented rebuild nor salvage writes those recordings again
        self.assertEqual(harness.recovered_files(run.out_dir), ["PRIVATE"])
        self.assertIn("  camera files      : 2 (with 4 sidecars)\n", run.stdout)
        self.assertNotIn(".partial", "".join(n for _, _, f in os.walk(run.out_dir) for n in f))

    def test_each_state_gives_the_camera_files_back(self):
        rows = [("live", "live"), ("deleted", "deleted"), ("reformat", "left by a format, in a folder found in the heap")]
        for state, word in rows:
            with self.subTest(state=state):
                card = tree_card(state)
                if state == "live":
                    fsck = subprocess.run(["fsck.exfat", "-n", card.image], capture_output=True, text=True)
                    self.assertEqual(fsck.returncode, 0, fsck.stdout + fsck.stderr)
                self.check_camera_files(card, harness.run_engine(self, card), word)

    def test_sets_carved_in_the_scan_survive_the_scan_cache(self):
        # the window's recovery run reuses the analysis run's scan: the sets carved from the heap
        # of a reformatted card come with it
        card = tree_card("reformat")
        first = harness.run_engine(self, card)
        second = harness.run_engine(self, card, work_dir=first.work_dir)
        self.assertIn(harness.CACHE_HIT, second.stdout.splitlines())
        self.check_camera_files(card, second, "left by a format")
        only = harness.run_engine(self, card, work_dir=first.work_dir, extra=("--clip", "2"))
        self.assertEqual(only.code, 0, only.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(only.out_dir, CLIP))), ["C0002.MP4", "C0002M01.XML"])

    def test_refused_extents_only_name_their_recording(self):
        # an older deleted set of another length names the first recording's cluster beside the live
        # one; on the second card it is the only set: its extent fails, the documented path writes
        # the recording
        beside = tree_card("live", extra_sets=[(0, "C0009.MP4", 200000, False, OLDER)])
        self.check_camera_files(beside, harness.run_engine(self, beside), "live")
        card = harness.make_card(None, "--count", "2", "--frames", "24", "--size-mib", "32")
        folder = tempfile.mkdtemp(prefix="stale-", dir=os.path.dirname(card.folder))
        shutil.copytree(card.folder, folder, dirs_exist_ok=True)
        only = harness.Card(folder)
        v = Volume(only.image)
        rec = only.recordings[0]
        data = v.entry_set("C0001.MP4", (rec["image_offset"] - v.heap) // v.cluster + 2, rec["size"] - 5000)
        for i in range(0, len(data), 32):
            data[i] &= 0x7F
        v.append(v.at(v.root), data)
        v.save()
        run = harness.run_engine(self, only)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertRegex(run.stdout, r"(?m)^clip 1: C0001\.MP4 \(deleted, .*its extent is not used for bytes: "
                                     r"its movie box is not where its size puts it")
        self.assertFalse(os.path.exists(os.path.join(run.out_dir, "PRIVATE")))
        harness.check_output_bytes(self, only, rec, os.path.join(run.out_dir, rec["output_name"]), False)

    def test_a_damaged_movie_box_is_not_trusted(self):
        # the card's own file is damaged inside its movie box: a box size that runs over its parent,
        # a sound chunk placed outside the media data; the set only names its recording then
        for damage in ("stsc size", "stco offset"):
            with self.subTest(damage=damage):
                card = tree_card("live")
                rec = card.recordings[0]
                data = harness.read(card.recording_path(rec))
                top = mp4_reader.boxes(data, 0, len(data))
                moov = [b for b in top if b[0] == "moov"][0]
                traks = [b for b in mp4_reader.boxes(data, moov[1] + moov[2], moov[1] + moov[3]) if b[0] == "trak"]
                sound = [t for t in traks if mp4_reader.track_tables(data, t)["handler"] == "soun"][0]
                stbl = mp4_reader.path(data, sound, "mdia", "minf", "stbl")
                if damage == "stsc size":
                    at, value = mp4_reader.child(data, stbl, "stsc")[1], 7
                else:
                    at, value = mp4_reader.child(data, stbl, "stco")[1] + 16, len(data) + 4096
                image = bytearray(harness.read(card.image))
                struct.pack_into(">I", image, rec["image_offset"] + at, value)
                with open(card.image, "wb") as f:
                    f.write(image)
                run = harness.run_engine(self, card)
                self.assertEqual(run.code, 0, run.stderr)
                self.assertRegex(run.stdout, r"(?m)^clip 1: PRIVATE/M4ROOT/CLIP/C0001\.MP4 \(live, .*its extent is not "
                                             r"used for bytes: its movie box is damaged")
                self.assertFalse(os.path.exists(os.path.join(run.out_dir, CLIP, "C0001.MP4")))
                self.assertEqual(harness.read(os.path.join(run.out_dir, CLIP, "C0002.MP4")),
                                 harness.read(card.recording_path(card.recordings[1])))
                # the clip's sidecars check out on their own: they come back under the camera's path,
                # and the clip's line says where the clip itself went
                self.assertEqual(harness.read(os.path.join(run.out_dir, CLIP, "C0001M01.XML")), XML)
                self.assertEqual(harness.read(os.path.join(run.out_dir, THMBNL, "C0001T01.JPG")), JPEG)
                self.assertRegex(run.stdout, r"(?m)^clip 1: the clip came back (salvaged|by the documented rules) as "
                                             r".*XAVC_0001_.*\.MP4; its sidecars under the camera's path$")
                self.assertIn("  camera files      : 1 (with 4 sidecars)\n", run.stdout)

    def test_a_taken_name_gets_2_and_unsafe_names_stay_inside(self):
        card = tree_card("live")
        out = tempfile.mkdtemp(prefix="out-", dir=os.path.dirname(card.folder))
        os.makedirs(os.path.join(out, CLIP))
        with open(os.path.join(out, CLIP, "C0001.MP4"), "wb") as f:
            f.write(b"mine")
        run = harness.run_engine(self, card, out_dir=out)
        self.assertEqual(harness.read(os.path.join(out, CLIP, "C0001.MP4")), b"mine")
        self.assertEqual(harness.read(os.path.join(out, CLIP, "C0001_2.MP4")),
                         harness.read(card.recording_path(card.recordings[0])))
        self.assertIn("\n  -> %s\n" % os.path.join(out, CLIP, "C0001_2.MP4"), run.stdout)

        # never hidden, never without the clip's extension, the sidecars beside it under its stem
        rows = [("CON.MP4", "_CON.MP4"), ("a:b\\c.MP4", "a_b_c.MP4"), ("..", "_.MP4"), ("x/../y.MP4", "x_.._y.MP4"),
                ("..\\..\\..\\escaped.MP4", "_.._.._.._escaped.MP4"), ("C:0003.MP4.", "C_0003.MP4"),
                ("end. ", "end.MP4"), ("\x01ctl.MP4", "_ctl.MP4")]
        for unsafe, safe in rows:
            with self.subTest(name=unsafe):
                named = tree_card("live", names=[unsafe, "C0002.MP4"])
                run = harness.run_engine(self, named)
                self.assertEqual(run.code, 0, run.stderr)
                self.assertEqual(harness.read(os.path.join(run.out_dir, CLIP, safe)),
                                 harness.read(named.recording_path(named.recordings[0])))
                self.assertIn('  the name on the card is not safe as a file name: written as "%s"\n' % safe, run.stdout)
                stem = safe[:-len(".MP4")]
                self.assertEqual(harness.read(os.path.join(run.out_dir, CLIP, stem + "M01.XML")), XML)
                self.assertEqual(harness.read(os.path.join(run.out_dir, THMBNL, stem + "T01.JPG")), JPEG)
                inside = [os.path.relpath(os.path.join(d, f), run.out_dir) for d, _, fs in os.walk(run.out_dir) for f in fs]
                self.assertTrue(all(not p.startswith("..") for p in inside), inside)

    def test_no_salvage_keeps_the_documented_files(self):
        card = tree_card("live")
        run = harness.run_engine(self, card, extra=harness.DOCUMENTED)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertEqual(harness.recovered_files(run.out_dir), sorted(r["output_name"] for r in card.recordings))
        self.assertNotIn("File system", run.stdout)
        self.assertNotIn("camera files", run.stdout)


if __name__ == "__main__":
    unittest.main()
