"""End-to-end recovery of the 'reformatted' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("reformatted")

if __name__ == "__main__":
    unittest.main()
