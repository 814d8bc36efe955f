"""Every file the package writes goes through here.

A file is written to a fresh, unguessable name in its own directory and then renamed over the
old one, so readers never see half a file, and a symbolic link planted in the file's place is
replaced itself rather than followed.
"""

from typing import Union

from korvo.reporter._types import AnyPath
from korvo.reporter.campaign import _write_file

__all__ = ["write_file"]


def write_file(path: AnyPath, data: Union[str, bytes]) -> None:
    """Replace the file at ``path`` with ``data`` (str is written as UTF-8).

    A replaced regular file keeps its permission bits and, where allowed, its owner.
    Raises OSError naming ``path`` on failure; the old file is then left as it was.
    """
    _write_file(path, data)
