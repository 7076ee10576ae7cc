"""End-to-end recovery of the sample cards with damaged recordings."""

import os
import unittest

import harness

harness.scenario_cases(globals(), "hole", "moov-lost", "truncated")


class DecoderThreads(unittest.TestCase):
    def test_one_frame_thread_and_sixteen_alike(self):
        """The decoder's frame threads hand a damaged sample's refusal back some pushes late, by how
        many depends on their count and on how they ran: what a run prints and writes must not
        (cards where the decode check refuses a documented clip's video, and salvage keeps a part)."""
        for scenario in ("hole-clusters-bframes-oob", "hole-clusters-open-gop-hevc"):
            card = harness.make_card(scenario)
            runs = [harness.run_engine(self, card, env=dict(os.environ, MENDORA_VALIDATOR_THREADS=threads))
                    for threads in ("1", "16")]
            seen = []
            for run in runs:
                self.assertEqual(run.code, 0, run.stderr)
                names = harness.recovered_files(run.out_dir)
                seen.append((run.stdout.replace(run.work_dir, "WORK").replace(run.out_dir, "OUT"), run.stderr, names,
                             [harness.sha256(os.path.join(run.out_dir, n)) for n in names]))
            self.assertIn("validation failed", runs[0].stderr, "%s: no clip the decode check refuses" % scenario)
            self.assertEqual(seen[0], seen[1], "%s: one frame thread and sixteen differ" % scenario)

if __name__ == "__main__":
    unittest.main()
