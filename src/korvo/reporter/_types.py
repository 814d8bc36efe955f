"""Names of the types the package's functions take, shared so that each is said once."""

import argparse
import os
from typing import TYPE_CHECKING, Protocol, Sequence, Union

__all__ = ["StrPath", "AnyPath", "LogDirs", "TextOut", "Subcommands"]

# What the functions that open or write a file take as its name.
StrPath = Union[str, "os.PathLike[str]"]
AnyPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# Where log files are looked up: one directory, a list of them searched in turn, or none.
LogDirs = Union[AnyPath, Sequence[AnyPath], None]


class TextOut(Protocol):
    """Where the commands write what they print: a text stream, or the command line's
    escaping wrapper of one."""

    def write(self, text: str) -> object: ...

    def flush(self) -> object: ...

    def isatty(self) -> bool: ...


# What a command module's add_parser() adds its parser to.
if TYPE_CHECKING:
    Subcommands = argparse._SubParsersAction[argparse.ArgumentParser]
else:
    Subcommands = argparse._SubParsersAction
