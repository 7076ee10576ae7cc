"""End-to-end recovery of the 'moov-lost' sample card."""

import unittest

import harness

ScenarioTest = harness.scenario_case("moov-lost")

if __name__ == "__main__":
    unittest.main()
