"""End-to-end recovery of the sample cards with split, partitioned or HEVC recordings."""

import os
import struct
import tempfile
import unittest

import harness
import mp4_reader
import oracle

harness.scenario_cases(globals(), "fragmented", "partition", "hevc")


def first_slice_at(data, at):
    """Offset of the first slice NAL unit's body inside the length-prefixed sample at `at`."""
    while True:
        length = struct.unpack(">I", data[at:at + 4])[0]
        if (data[at + 4] >> 1) & 0x3F < 32:
            return at + 4
        at += 4 + length


class DamagedHevcSample(unittest.TestCase):
    def test_damaged_hevc_samples_are_refused_by_their_number(self):
        """The HEVC recording's first sample (a key frame) of some chunks with its slice header
        zeroed on the card: the decode check names the first as it names a damaged AVC sample, the
        AVC clips are written, and salvage keeps every chunk but the damaged ones, byte for byte,
        or says it gave up when none is left. No .partial stays behind."""
        card = harness.make_card("hevc")
        rec = [r for r in card.recordings if r["codec"] == "hevc"][0]
        original = oracle.Original(card, rec).video
        video = [t for t in mp4_reader.movie(harness.read(card.recording_path(rec)))["tracks"]
                 if t["handler"] == "vide"][0]
        others = {n for n, r in card.written(True).items() if r is not rec}
        salvaged = rec["output_name"][:-len(".MP4")] + "_salvaged.MP4"
        for damaged in ([1], list(range(len(video["offsets"])))):
            data = bytearray(harness.read(card.image))
            for k in damaged:
                at = first_slice_at(data, rec["image_offset"] + video["offsets"][k])
                data[at + 2:at + 4] = b"\x00\x00"
            image = os.path.join(tempfile.mkdtemp(prefix="card-", dir=harness._root), "damaged.img")
            with open(image, "wb") as f:
                f.write(data)
            kept = [s for i, s in enumerate(original) if i // 12 not in damaged]
            for extra in (harness.DOCUMENTED, []):
                with self.subTest(damaged_chunks=damaged, options=extra):
                    run = harness.run_engine(self, card, image=image, extra=extra)
                    self.assertEqual(run.code, 0, run.stderr)
                    # said once: salvage's own tries of the recording do not say it again
                    self.assertEqual(run.stderr, "clip %d: AVC decode validation failed at sample %d\n"
                                     % (rec["clip_number"], 12 * damaged[0] + 1))
                    names = set(harness.recovered_files(run.out_dir))
                    self.assertEqual(names, others | ({salvaged} if kept and not extra else set()), run.stdout)
                    if salvaged in names:
                        path = os.path.join(run.out_dir, salvaged)
                        self.assertTrue([p["bytes"] for p in oracle.probe(path)[0]["video"]["packets"]] == kept,
                                        "salvaged samples")
                        self.assertEqual(harness.decode_messages(path), "")
                    elif not extra:
                        line = "clip %d: salvage failed: no video chunk left that decodes" % rec["clip_number"]
                        self.assertTrue(line in run.stdout.splitlines(), run.stdout[-400:])


if __name__ == "__main__":
    unittest.main()
