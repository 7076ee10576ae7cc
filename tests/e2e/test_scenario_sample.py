"""End-to-end recovery of the 'sample' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("sample")

if __name__ == "__main__":
    unittest.main()
