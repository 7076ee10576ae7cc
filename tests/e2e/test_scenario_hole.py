"""End-to-end recovery of the 'hole' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("hole")

if __name__ == "__main__":
    unittest.main()
