"""The sample card generator itself: its scenarios, and recordings that carry what the camera writes.
(Each scenario card's own checks run with its recovery tests.)"""

import datetime
import os
import struct
import unittest

import harness
import mp4_reader

EPOCH_1904 = datetime.datetime(1904, 1, 1, tzinfo=datetime.timezone.utc)


def kkad_boxes(data):
    at = data.find(b"kkad")
    while at >= 0:
        yield at - 4
        at = data.find(b"kkad", at + 1)


class GeneratorTest(unittest.TestCase):
    def test_expected_outputs_play_without_the_metadata_track(self):
        for scenario in ["sample", "contiguous", "hevc"]:
            card = harness.make_card(scenario)
            for rec in card.written(False).values():
                with self.subTest(scenario=scenario, output=rec["output_name"]):
                    self.assertEqual(harness.stream_types(card.expected_path(rec, False)), ["video", "audio"])
                    self.assertEqual(harness.stream_types(card.expected_path(rec, True)),
                                     ["video", "audio", "data"])
                    self.assertEqual(harness.decode_messages(card.expected_path(rec, False)), "")

    def test_kkad_boxes_describe_the_video_chunk_before_them(self):
        for scenario in ["contiguous", "hevc", "timezone"]:
            card = harness.make_card(scenario)
            for rec in card.recordings:
                with self.subTest(scenario=scenario, recording=rec["name"]):
                    self.check_kkad(harness.read(card.recording_path(rec)), rec)

    def check_kkad(self, data, rec):
        m = mp4_reader.movie(data)
        self.assertEqual([b[0] for b in m["top"]][0], "ftyp")
        self.assertEqual(data[8:12], b"XAVC")
        self.assertEqual([b[0] for b in m["top"]][-2:], ["mdat", "moov"])
        video = [t for t in m["tracks"] if t["handler"] == "vide"][0]
        self.assertEqual(video["format"], "hvc1" if rec["codec"] == "hevc" else "avc1")
        self.assertEqual(video["per_chunk"], 12)
        self.assertEqual(sorted(t["handler"] for t in m["tracks"]), ["meta", "soun", "vide"])
        boxes = list(kkad_boxes(data))
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

    def test_video_samples_start_with_an_access_unit_delimiter(self):
        for scenario, codec, prefix in [("sample", "avc", b"\x00\x00\x00\x02\x09"),
                                        ("hevc", "hevc", b"\x00\x00\x00\x03\x46\x01")]:
            card = harness.make_card(scenario)
            rec = [r for r in card.recordings if r["codec"] == codec][0]
            data = harness.read(card.recording_path(rec))
            video = [t for t in mp4_reader.movie(data)["tracks"] if t["handler"] == "vide"][0]
            for c, offset in enumerate(video["offsets"]):
                at = offset
                for size in video["sizes"][12 * c:12 * c + 12]:
                    with self.subTest(scenario=scenario, offset=at):
                        self.assertEqual(data[at:at + len(prefix)], prefix)
                    at += size

    def test_truncated_card_ends_inside_the_last_movie_box(self):
        card = harness.make_card("truncated")
        last = max(card.recordings, key=lambda r: r["image_offset"])
        self.assertEqual(last["damage"], "truncated")
        self.assertFalse(last["recover"])
        end = last["image_offset"] + last["size"]
        self.assertLess(card.truth["image_size"], end)
        self.assertGreater(card.truth["image_size"], end - (last["output_size_keep"] - last["output_size"]) - 4000)


if __name__ == "__main__":
    unittest.main()
