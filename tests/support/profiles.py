"""Hypothesis profiles of the suite, registered once (conftest.py calls `register`)."""

import os

from hypothesis import HealthCheck, settings

DEFAULT_EXAMPLES = 100

# Generated report values are large and some strategies filter; neither is a fault.
_RELAXED = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
            HealthCheck.function_scoped_fixture]


def base_examples():
    """KORVO_EXAMPLES when set (a positive whole number), the suite's default otherwise."""
    text = os.environ.get("KORVO_EXAMPLES", "").strip()
    if not text:
        return DEFAULT_EXAMPLES
    count = int(text)
    if count < 1:
        raise ValueError("KORVO_EXAMPLES must be a positive number, not %r" % text)
    return count


def register():
    count = base_examples()
    settings.register_profile("dev", max_examples=count, deadline=None,
                              suppress_health_check=_RELAXED)
    # CI starts from a clean checkout: no example database to replay, and every failure
    # printed with the blob that reproduces it.
    settings.register_profile("ci", max_examples=count, deadline=None,
                              suppress_health_check=_RELAXED, database=None, print_blob=True)
    name = os.environ.get("KORVO_HYPOTHESIS_PROFILE")
    if not name:
        name = "ci" if os.environ.get("CI", "").lower() == "true" else "dev"
    settings.load_profile(name)


def examples(weight=1.0):
    """The loaded profile's example count scaled by `weight`, at least one."""
    return max(1, round(settings().max_examples * weight))
