"""End-to-end recovery of the sample cards with split, partitioned or HEVC recordings."""

import os
import struct
import tempfile
import unittest

import harness
import mp4_reader

harness.scenario_cases(globals(), "fragmented", "partition", "hevc")


def first_slice_at(data, at):
    """Offset of the first slice NAL unit's body inside the length-prefixed sample at `at`."""
    while True:
        length = struct.unpack(">I", data[at:at + 4])[0]
        if (data[at + 4] >> 1) & 0x3F < 32:
            return at + 4
        at += 4 + length


class DamagedHevcSample(unittest.TestCase):
    def test_a_damaged_hevc_sample_is_refused_by_its_number(self):
        """The HEVC recording's sample 13 (a key frame) with its slice header zeroed on the card:
        the decode check names it as it names a damaged AVC sample, and the AVC clips are written."""
        card = harness.make_card("hevc")
        rec = [r for r in card.recordings if r["codec"] == "hevc"][0]
        video = [t for t in mp4_reader.movie(harness.read(card.recording_path(rec)))["tracks"]
                 if t["handler"] == "vide"][0]
        data = bytearray(harness.read(card.image))
        sample = rec["image_offset"] + video["offsets"][1]
        at = first_slice_at(data, sample)
        data[at + 2:at + 4] = b"\x00\x00"
        image = os.path.join(tempfile.mkdtemp(prefix="card-", dir=harness._root), "damaged.img")
        with open(image, "wb") as f:
            f.write(data)
        for extra in (harness.DOCUMENTED, []):
            run = harness.run_engine(self, card, image=image, extra=extra)
            self.assertEqual(run.code, 0, run.stderr)
            # said once: salvage's own tries of the recording do not say it again
            self.assertEqual(run.stderr, "clip %d: AVC decode validation failed at sample 13\n" % rec["clip_number"])
            others = {n for n, r in card.written(True).items() if r is not rec}
            self.assertEqual({n for n in os.listdir(run.out_dir) if "_salvaged" not in n}, others)


if __name__ == "__main__":
    unittest.main()
