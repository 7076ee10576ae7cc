"""End-to-end recovery of the 'contiguous' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("contiguous")

if __name__ == "__main__":
    unittest.main()
