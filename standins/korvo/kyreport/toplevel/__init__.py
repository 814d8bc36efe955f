"""Top-level object of the legacy report library."""
