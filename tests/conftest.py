"""Shared pytest configuration of the suite; the test data lives in tests/data (see its README)."""
