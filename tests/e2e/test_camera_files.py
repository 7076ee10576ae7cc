"""The file-system pass end to end, beside the tree cards of tests/e2e/test_filesystem.py and the
damage campaign: the entry sets carved from a reformatted card's heap come back with the scan
cache; a set whose extent the content refuses (a size the movie box does not end at, a damaged
movie box) only names its recording, which takes the documented path, and its sidecars come back
all the same; unsafe names become safe ones inside the output folder with the sidecars under their
stem; a name already taken gets _2; --no-salvage writes what it always did. Every run leaves the image unchanged (run_engine
checks it)."""

import os
import re
import shutil
import struct
import tempfile
import unittest

import harness
import mp4_reader
import oracle
import oracle_report

CLIP = os.path.join("PRIVATE", "M4ROOT", "CLIP")
THMBNL = os.path.join("PRIVATE", "M4ROOT", "THMBNL")


def tree_card(state):
    """A card of two recordings under the camera's tree in `state`, a copy of its own to damage."""
    card = harness.make_card(None, "--count", "2", "--frames", "24", "--file-tree", state)
    folder = tempfile.mkdtemp(prefix="tree-", dir=harness._root)
    shutil.copytree(card.folder, folder, dirs_exist_ok=True)
    return harness.Card(folder)


def patch_image(card, changes):
    """Writes (image offset, bytes) changes into the card's image."""
    image = bytearray(harness.read(card.image))
    for at, data in changes:
        image[at:at + len(data)] = data
    with open(card.image, "wb") as f:
        f.write(image)
    return image


class CameraFiles(unittest.TestCase):
    def check_camera_files(self, card, run):
        """Every recording back as the camera's file with its sidecars, and nothing else written."""
        self.assertEqual(run.code, 0, run.stderr)
        image = harness.read(card.image)
        oracle_report.judge_camera_tree(self, card, {r["name"]: oracle.Original(card, r, image)
                                                     for r in card.recordings}, image, run.out_dir)
        self.assertEqual(harness.recovered_files(run.out_dir), ["PRIVATE"])
        self.assertIn("  camera files      : %d (with %d sidecars)\n" % (len(card.recordings), 2 * len(card.recordings)),
                      run.stdout)

    def test_sets_carved_in_the_scan_survive_the_scan_cache(self):
        # the window's recovery run reuses the analysis run's scan: the sets carved from the heap
        # of a reformatted card come with it
        card = harness.make_card(None, "--count", "2", "--frames", "24", "--file-tree", "formatted")
        first = harness.run_engine(self, card)
        second = harness.run_engine(self, card, work_dir=first.work_dir)
        self.assertIn(harness.CACHE_HIT, second.stdout.splitlines())
        self.assertRegex(second.stdout, r"(?m)^clip 2: M4ROOT/CLIP/C0002\.MP4 \(left by a format, in a folder found "
                                        r"in the heap, modified 2024-05-17 10:22:48\.13 \+00:00")
        self.check_camera_files(card, second)
        only = harness.run_engine(self, card, work_dir=first.work_dir, extra=("--clip", "2"))
        self.assertEqual(only.code, 0, only.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(only.out_dir, CLIP))), ["C0002.MP4", "C0002M01.XML"])

    def test_refused_extents_only_name_their_recording(self):
        # the first clip's set says 5000 bytes less than the clip holds (checksum made again): its
        # extent fails, the documented path writes the recording
        card = tree_card("deleted")
        rec = card.recordings[0]
        fs = card.truth["file_system"]
        entry = [e for e in fs["entries"] if e["path"] == rec["file"]["path"]][0]
        folder = [d for d in fs["directories"] if d["path"] == entry["folder"]][0]
        at = fs["heap_offset"] + (folder["clusters"][0] - 2) * card.truth["cluster_bytes"] + 32 * entry["slot"]
        data = bytearray(harness.read(card.image)[at:at + 32 * 4])
        data = data[:32 * (1 + data[1])]
        struct.pack_into("<Q", data, 32 + 8, rec["size"] - 5000)  # the valid and the whole length
        struct.pack_into("<Q", data, 32 + 24, rec["size"] - 5000)
        total = 0
        for i, b in enumerate(data):
            if i not in (2, 3):
                total = ((total & 1) << 15 | total >> 1) + (b | 0x80 if i % 32 == 0 else b) & 0xFFFF
        struct.pack_into("<H", data, 2, total)
        patch_image(card, [(at, data)])
        run = harness.run_engine(self, card)
        self.assertEqual(run.code, 0, run.stderr)
        self.assertRegex(run.stdout, r"(?m)^clip 1: PRIVATE/M4ROOT/CLIP/C0001\.MP4 \(deleted, .*its extent is not "
                                     r"used for bytes: its movie box is not where its size puts it")
        self.assertFalse(os.path.exists(os.path.join(run.out_dir, CLIP, "C0001.MP4")))
        harness.check_output_bytes(self, card, rec, os.path.join(run.out_dir, rec["output_name"]), False)

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
                patch_image(card, [(rec["image_offset"] + at, struct.pack(">I", value))])
                run = harness.run_engine(self, card)
                self.assertEqual(run.code, 0, run.stderr)
                self.assertRegex(run.stdout, r"(?m)^clip 1: PRIVATE/M4ROOT/CLIP/C0001\.MP4 \(live, .*its extent is not "
                                             r"used for bytes: its movie box is damaged")
                self.assertFalse(os.path.exists(os.path.join(run.out_dir, CLIP, "C0001.MP4")))
                self.assertEqual(harness.read(os.path.join(run.out_dir, CLIP, "C0002.MP4")),
                                 harness.read(card.recording_path(card.recordings[1])))
                # the clip's sidecars check out on their own: they come back under the camera's path,
                # and the clip's line says where the clip itself went
                for side, folder in zip(rec["file"]["sidecars"], (CLIP, THMBNL)):
                    self.assertEqual(harness.sha256(os.path.join(run.out_dir, folder, side["name"])), side["sha256"])
                self.assertRegex(run.stdout, r"(?m)^clip 1: the clip came back (salvaged|by the documented rules) as "
                                             r".*XAVC_0001_.*\.MP4; its sidecars under the camera's path$")
                self.assertIn("  camera files      : 1 (with 4 sidecars)\n", run.stdout)

    def test_a_taken_name_gets_2(self):
        card = tree_card("live")
        out = tempfile.mkdtemp(prefix="out-", dir=harness._root)
        os.makedirs(os.path.join(out, CLIP))
        with open(os.path.join(out, CLIP, "C0001.MP4"), "wb") as f:
            f.write(b"mine")
        run = harness.run_engine(self, card, out_dir=out)
        self.assertEqual(harness.read(os.path.join(out, CLIP, "C0001.MP4")), b"mine")
        self.assertEqual(harness.read(os.path.join(out, CLIP, "C0001_2.MP4")),
                         harness.read(card.recording_path(card.recordings[0])))
        self.assertIn("\n  -> %s\n" % os.path.join(out, CLIP, "C0001_2.MP4"), run.stdout)

    def test_unsafe_names_stay_inside_with_their_sidecars(self):
        # never hidden, never without the clip's extension, the sidecars beside it under its stem
        card = harness.make_card("fs-hostile-names")
        run = harness.run_engine(self, card)
        self.assertEqual(run.code, 0, run.stderr)
        safe = re.findall(r'(?m)^  the name on the card is not safe as a file name: written as "(.*)"$', run.stdout)
        self.assertEqual(len(safe), len(card.recordings), run.stdout)
        sidecars = {side["sha256"] for rec in card.recordings for side in rec["file"]["sidecars"]}
        for name in safe:
            self.assertTrue(name.endswith(".MP4") and not re.match(r"\.|.*[. ]$", name), name)
            stem = name[:-len(".MP4")]
            self.assertIn(harness.sha256(os.path.join(run.out_dir, CLIP, stem + "M01.XML")), sidecars, name)
            self.assertIn(harness.sha256(os.path.join(run.out_dir, THMBNL, stem + "T01.JPG")), sidecars, name)
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
