"""End-to-end recovery of the sample cards with damaged recordings."""

import unittest

import harness

harness.scenario_cases(globals(), "hole", "moov-lost", "truncated")

if __name__ == "__main__":
    unittest.main()
