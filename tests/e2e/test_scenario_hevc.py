"""End-to-end recovery of the 'hevc' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("hevc")

if __name__ == "__main__":
    unittest.main()
