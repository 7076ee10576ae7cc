"""End-to-end recovery of the 'fragmented' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("fragmented")

if __name__ == "__main__":
    unittest.main()
