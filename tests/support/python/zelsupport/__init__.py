"""Helpers shared by the black-box suites."""
