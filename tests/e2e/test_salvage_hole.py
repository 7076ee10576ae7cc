"""Salvage of a clip with a hole: the card's middle recording lost the start of one video chunk.
The salvaged file holds every other sample of the recording byte for byte, in order, with the
sound of the same chunks, decodes silently, and --no-salvage gives the documented run exactly."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import mp4_reader  # noqa: E402

SALVAGED = re.compile(r"^clip (\d+): salvaged -> (.*) \(video (\d+)/(\d+) samples, (\d+) gaps?, "
                      r"(sound (\d+) % of the kept span|no sound)\)$", re.M)


def samples(data):
    """The bytes of every sample of every track, by handler, from the file's own tables."""
    out = {}
    for t in mp4_reader.movie(data)["tracks"]:
        got, at_chunk = [], {}
        for i, size in enumerate(t["sizes"]):
            chunk = i // t["per_chunk"]
            at = at_chunk.get(chunk, t["offsets"][chunk])
            got.append(data[at:at + size])
            at_chunk[chunk] = at + size
        out[t["handler"]] = got
    return out


def placeholders(text, run):
    return text.replace(run.out_dir, "OUT").replace(run.work_dir, "WORK")


class SalvageOfAHole(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.card = harness.make_card("hole")
        cls.rec = next(r for r in cls.card.recordings if r["damage"] == "hole")

    def test_every_intact_chunk_comes_back_in_order_and_plays(self):
        run = harness.run_engine(self, self.card)
        self.assertEqual(run.code, 0, run.stderr)
        found = SALVAGED.findall(run.stdout)
        self.assertEqual([int(m[0]) for m in found], [self.rec["clip_number"]], run.stdout)
        clip, path, kept, total, gaps, _, sound = found[0]
        chunks, per_chunk = self.rec["video_chunks"], self.rec["frames"] // self.rec["video_chunks"]
        self.assertEqual((int(kept), int(total), int(gaps), sound), ((chunks - 1) * per_chunk, self.rec["frames"], 1,
                                                                     "100"))
        name = self.rec["output_name"].replace(".MP4", "_salvaged.MP4")
        self.assertEqual(os.path.basename(path), name)
        self.assertEqual(sorted(os.listdir(run.out_dir)), sorted(list(self.card.written(True)) + [name]))
        self.assertIn("  salvaged clips    : 1", run.stdout.splitlines())

        original = samples(harness.read(self.card.recording_path(self.rec)))
        data = harness.read(os.path.join(run.out_dir, name))
        salvaged = samples(data)
        hole = chunks // 2
        for handler in ("vide", "soun"):
            per = len(original[handler]) // chunks
            want = original[handler][:hole * per] + original[handler][(hole + 1) * per:]
            self.assertEqual(len(salvaged[handler]), len(want), handler)
            self.assertTrue(salvaged[handler] == want, "%s samples differ from the recording's" % handler)
        self.assertEqual(sorted(salvaged), ["soun", "vide"])
        self.assertEqual(harness.decode_messages(os.path.join(run.out_dir, name)), "")

    def test_no_salvage_prints_the_documented_run_exactly(self):
        plain = harness.run_engine(self, self.card, extra=harness.DOCUMENTED)
        salvaged = harness.run_engine(self, self.card)
        block = re.compile(r"\nSalvage: .*?(?=\nComplete\.)", re.S)
        kept = block.sub("", placeholders(salvaged.stdout, salvaged)).replace("  salvaged clips    : 1\n", "")
        self.assertEqual(kept, placeholders(plain.stdout, plain))
        self.assertNotIn("salvage", plain.stdout + plain.stderr)
        self.assertEqual(sorted(os.listdir(plain.out_dir)), sorted(self.card.written(True)))


if __name__ == "__main__":
    unittest.main()
