"""End-to-end recovery of the sample cards whose recordings lie whole on the card."""

import unittest

import harness

harness.scenario_cases(globals(), "sample", "contiguous", "reformatted", "timezone", "video-1080p",
                       "video-2160p", "bframes")

if __name__ == "__main__":
    unittest.main()
