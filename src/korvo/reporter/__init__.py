"""Results-reporting core of the korvo harness.

The native modules are ``korvo.reporter.campaign`` (the report tree and its
YAML/JSON writers) and ``korvo.reporter.scribe`` (the legacy XML export).
"""

# The one place the version is written; pyproject.toml reads it from here.
__version__ = "0.1.0"
