"""The sample card generator itself: its recordings carry the kkad boxes the camera writes, field by
field where the camera puts them (the engine reads the same generator's boxes, so only this test
holds both to the camera's layout). Each scenario card's own checks run with its recovery tests."""

import datetime
import struct
import unittest

import harness
import mp4_reader

EPOCH_1904 = datetime.datetime(1904, 1, 1, tzinfo=datetime.timezone.utc)


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


if __name__ == "__main__":
    unittest.main()
