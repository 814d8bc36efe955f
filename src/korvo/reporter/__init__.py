"""Results-reporting core of the korvo harness.

The native modules are ``korvo.reporter.campaign`` (the report tree and its
YAML/JSON writers) and ``korvo.reporter.scribe`` (the legacy XML export).
"""
