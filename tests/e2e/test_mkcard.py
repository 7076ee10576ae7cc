"""The sample card generator itself: its recordings carry the kkad boxes the camera writes, field by
field where the camera puts them (the engine reads the same generator's boxes, so only this test
holds both to the camera's layout). Each scenario card's own checks run with its recovery tests."""

import datetime
import struct
import subprocess
import unittest

import harness
import mp4_reader

EPOCH_1904 = datetime.datetime(1904, 1, 1, tzinfo=datetime.timezone.utc)
# this build's own generator, whose cards are made afresh when the other tests take another's
harness.MKCARD = harness.OWN_MKCARD


class GeneratorTest(unittest.TestCase):
    def test_kkad_boxes_describe_the_video_chunk_before_them(self):
        for scenario in ["contiguous", "hevc", "timezone"]:
            card = harness.make_card(scenario)
            for rec in card.recordings:
                with self.subTest(scenario=scenario, recording=rec["name"]):
                    self.check_kkad(harness.read(card.recording_path(rec)), rec)

    def check_kkad(self, data, rec):
        m = mp4_reader.movie(data)
        video = [t for t in m["tracks"] if t["handler"] == "vide"][0]
        boxes = list(mp4_reader.kkad_offsets(data))
        self.assertEqual(len(boxes), len(video["offsets"]))
        utc = EPOCH_1904 + datetime.timedelta(seconds=m["creation"])
        for j, box in enumerate(boxes):
            self.assertEqual(struct.unpack(">I", data[box:box + 4])[0], 768)
            self.assertEqual(struct.unpack("<H", data[box + 38:box + 40])[0], j)
            self.assertTrue(data[box + 20:box + 36].isdigit())
            year, month, day, hour, minute, second = struct.unpack(">HBBBBB", data[box + 68:box + 75])
            local = datetime.datetime(year, month, day, hour, minute, second, tzinfo=datetime.timezone.utc)
            self.assertEqual(local.strftime("%Y%m%d_%H%M%S"), rec["output_name"][10:25])
            self.assertEqual(local - utc, datetime.timedelta(hours=rec["tz_hours"]))
            if j == 0:
                self.assertEqual(data[box + 80:box + 768], bytes(688))
                continue
            want = (video["offsets"][j - 1], video["sizes"][12 * (j - 1):12 * j])
            for at in (box + 80, box + 409):
                offset = struct.unpack("<Q", data[at:at + 8])[0]
                sizes = [struct.unpack(">I", data[at + 77 + 21 * i:at + 81 + 21 * i])[0] for i in range(12)]
                self.assertEqual((offset, sizes), want)
            # the box sits in the metadata sample right behind the sound chunk of the chunk it describes
            self.assertGreater(box, want[0] + sum(want[1]))

    def test_truth_tells_which_samples_are_on_the_card(self):
        # every sample the truth calls intact lies in the image as the camera wrote it, and no
        # other does (the dithered sound of these cards occurs once)
        for scenario in ["hole", "power-loss", "hole-clusters", "hevc-cut"]:
            card = harness.make_card(scenario)
            image = harness.read(card.image)
            for rec in card.recordings:
                with self.subTest(scenario=scenario, recording=rec["name"]):
                    data = harness.read(card.recording_path(rec))
                    self.assertEqual([data[o:o + n] in image for o, n, _, _ in rec["video_samples"]],
                                     [bool(i) for _, _, _, i in rec["video_samples"]])
                    self.check_sound(image, data, rec)

    def check_sound(self, image, data, rec):
        intact, first = rec["sound_intact"], 0
        for offset, count in rec["sound_chunks"]:
            cuts = sorted({first, first + count} | {x for r in intact for x in r if first < x < first + count})
            for b, e in zip(cuts, cuts[1:]):
                piece = data[offset + 4 * (b - first):offset + 4 * (e - first)]
                on_card = any(r[0] <= b and e <= r[1] for r in intact)
                self.assertEqual(piece in image if on_card else piece[:64] in image, on_card, (b, e))
            first += count

    def test_camera_like_streams_are_what_the_truth_says(self):
        # every recording decodes silently; ffprobe reads every sample's presentation time and key
        # flag from the movie box as the truth states them; key frames every `gop` frames of
        # presentation, B-frames reordered, parameter sets in the samples only when in band
        for scenario in ["bframes", "moov-lost-bframes-oob-hevc", "hole-clusters-open-gop", "power-loss-open-gop-hevc"]:
            card = harness.make_card(scenario)
            for rec in card.recordings:
                with self.subTest(scenario=scenario, recording=rec["name"]):
                    self.check_stream(card, rec)

    def check_stream(self, card, rec):
        stream, path = rec["stream"], card.recording_path(rec)
        self.assertEqual(harness.decode_messages(path), "")
        done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "packet=pts,flags", "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
        packets = [line.split(",") for line in done.stdout.split() if line]
        pts = [int(p[0]) // 1000 for p in packets]
        self.assertEqual([p - min(pts) for p in pts], rec["video_pts"])
        self.assertEqual([int(p[1].startswith("K")) for p in packets], [k for _, _, k, _ in rec["video_samples"]])
        keys = sorted(rec["video_pts"][i] for i, (_, _, k, _) in enumerate(rec["video_samples"]) if k)
        self.assertEqual(keys, list(range(0, rec["frames"], stream["gop"])))
        self.assertEqual(rec["video_pts"] != sorted(rec["video_pts"]), stream["bframes"] > 0)
        data, sets = harness.read(path), {"avc": (7, 8), "hevc": (32, 33, 34)}[stream["codec"]]
        types = set()
        for offset, size, _, _ in rec["video_samples"]:
            at = offset
            while at < offset + size:
                n = struct.unpack(">I", data[at:at + 4])[0]
                types.add(data[at + 4] & 0x1F if stream["codec"] == "avc" else (data[at + 4] >> 1) & 0x3F)
                at += 4 + n
        self.assertEqual(bool(types & set(sets)), stream["params_in_band"])


if __name__ == "__main__":
    unittest.main()
