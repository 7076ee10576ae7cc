"""End-to-end recovery of the 'truncated' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("truncated")

if __name__ == "__main__":
    unittest.main()
