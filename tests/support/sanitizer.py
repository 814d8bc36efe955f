"""The suite also runs with the native modules built under AddressSanitizer, whose runtime
is preloaded into the interpreter. Programs the tests start that are not ours (a browser,
PostgreSQL) must not inherit that runtime, and address-space caps cannot be tested under it."""

import os

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def foreign_program_env():
    """The environment for a program that is not ours: without the sanitizer's runtime."""
    return {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARIABLES}
