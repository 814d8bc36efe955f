"""Results-reporting core of the korvo harness.

The native modules are ``korvo.reporter.campaign`` (the report tree and its
YAML/JSON writers) and ``korvo.reporter.scribe`` (the legacy XML export).
``load(path)`` reads a results file back into a live tree and ``merge(*trees)``
joins shards and reruns into one.
"""

# The one place the version is written; pyproject.toml reads it from here.
__version__ = "0.1.0"

_LAZY = {
    "load": ("korvo.reporter.loading", "load"),
    "LoadError": ("korvo.reporter.loading", "LoadError"),
    "merge": ("korvo.reporter.merging", "merge"),
}


def __getattr__(name: str) -> object:
    # Imported on first use, so `import korvo.reporter` stays cheap for the harness.
    if name in _LAZY:
        import importlib

        module, attr = _LAZY[name]
        return getattr(importlib.import_module(module), attr)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
