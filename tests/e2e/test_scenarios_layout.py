"""End-to-end recovery of the sample cards with split, partitioned or HEVC recordings."""

import unittest

import harness

harness.scenario_cases(globals(), "fragmented", "partition", "hevc")

if __name__ == "__main__":
    unittest.main()
