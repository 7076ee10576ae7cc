"""End-to-end recovery of the 'timezone' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("timezone")

if __name__ == "__main__":
    unittest.main()
