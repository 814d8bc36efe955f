"""Stand-in of the harness's utility functions."""

import datetime

__all__ = ["get_time"]


def get_time():
    """The current local time, with microseconds."""
    return datetime.datetime.now()
