"""Helpers shared by the test suite."""
