"""End-to-end recovery of the 'partition' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("partition")

if __name__ == "__main__":
    unittest.main()
