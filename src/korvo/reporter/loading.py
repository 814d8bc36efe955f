"""Reading results back: `korvo.reporter.load(path)` gives a live report tree.

The bytes are decoded by the standard library's C JSON decoder, or by the native YAML
reader (PyYAML's parser takes over for YAML the native reader does not take); the
nodes, results, counters and date-times are then built natively from the decoded data.
"""

import datetime
import gc
import json
import os
import sys
import weakref
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple, Type

from korvo.reporter._types import AnyPath

if TYPE_CHECKING:
    import yaml

    from korvo.reporter.campaign import ReportObjectBase

__all__ = ["load", "LoadError", "source_of", "check_input", "shown_path"]

# Scalar tags whose constructors build a value from one text.
_SCALAR_TAGS = frozenset("tag:yaml.org,2002:" + name
                         for name in ("null", "bool", "int", "float", "timestamp", "str"))

# Which file each loaded tree came from (merge records it).
_sources: "weakref.WeakKeyDictionary[Any, Optional[str]]" = weakref.WeakKeyDictionary()


class LoadError(ValueError):
    """The input is not a results document (or journal) this package can read."""


def shown_path(path: AnyPath) -> str:
    """`path` as messages name it: quoted, with any line break or control character escaped,
    so a message stays one line."""
    return repr(os.fsdecode(os.fspath(path)))


def source_of(tree: object) -> Optional[str]:
    """The path `tree` was loaded from, or None for a tree built live."""
    try:
        return _sources.get(tree)
    except TypeError:
        return None


# How the journal writer begins every journal (its version follows).
JOURNAL_HEADER_START = b'{"journal":"korvo-reporter","version":'


def load(path: AnyPath) -> "ReportObjectBase":
    """The report tree in `path` (results.yaml, results.json, a journal, or JUnit XML from
    another framework; "-": stdin).

    Raises LoadError, with one line naming the input, when it cannot be read.
    """
    from korvo.reporter import campaign

    stdin = isinstance(path, str) and path == "-"
    name = "<stdin>" if stdin else shown_path(path)
    data = _read(None if stdin else path, name)
    kind = _kind_of(data)
    tree: "ReportObjectBase"
    if kind == "xml":
        tree = _junit(data, name)
        _sources[tree] = None if stdin else os.fsdecode(os.fspath(path))
        return tree
    if kind == "journal":
        if stdin:
            raise LoadError("a journal cannot be read from standard input; give its path")
        return _recover(path, name)
    # The collector would walk the growing tree again and again while it is built;
    # nothing made here is garbage until the caller drops it.
    collecting = gc.isenabled()
    gc.disable()
    try:
        if kind == "json":
            report = _report_of(_decode_json(data, name), name)
        else:
            report = _report_of(_decode_yaml(data, name), name)
        tree = campaign._build_tree(report, _results_by_value(), kind == "yaml")
    except RecursionError:
        raise LoadError("%s is nested too deeply to be a results document" % name) from None
    except (ValueError, TypeError, OverflowError) as exc:
        if isinstance(exc, LoadError):
            raise
        raise LoadError("%s: %s" % (name, one_line(exc))) from None
    finally:
        if collecting:
            gc.enable()
    _sources[tree] = None if stdin else os.fsdecode(os.fspath(path))
    return tree


def check_input(path: AnyPath) -> None:
    """Raises LoadError unless `path` opens as a file from elsewhere may (see _read)."""
    try:
        from korvo.reporter import campaign

        campaign._check_input(path)
    except OSError as exc:
        raise LoadError("cannot read %s: %s" % (shown_path(path), exc.strerror or exc)) from None
    except ValueError as exc:
        raise LoadError("cannot read %s: it %s" % (shown_path(path), exc)) from None


def _read(path: Optional[AnyPath], name: str) -> bytes:
    # Every input is read the one way: a regular file, never waited on, size capped.
    from korvo.reporter import campaign

    try:
        return campaign._read_input(path)
    except OSError as exc:
        raise LoadError("cannot read %s: %s" % (name, exc.strerror or exc)) from None
    except ValueError as exc:
        raise LoadError("cannot read %s: it %s" % (name, exc)) from None


def one_line(text: object) -> str:
    """`text` (an error, a path, anything a file held) as one line of a message: control
    characters and lone surrogates are escaped, except that the lines of an error's own
    message are joined by spaces."""
    if isinstance(text, BaseException):
        text = " ".join(str(text).splitlines())
    text = os.fsdecode(text) if isinstance(text, (bytes, os.PathLike)) else str(text)
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _kind_of(data: bytes) -> str:
    head = data[:4096].lstrip()
    if head.startswith(b"<"):
        return "xml"
    if head.startswith(b"{"):
        # The header alone is still a journal: one whose writer has not got further.
        return "journal" if head.startswith(JOURNAL_HEADER_START) else "json"
    return "yaml"


def _junit(data: bytes, name: str) -> "ReportObjectBase":
    """JUnit XML from another framework; other XML (our legacy report) is not read back."""
    from korvo.reporter import junit_input

    head = data[:512].lstrip().lower()
    if head.startswith(b"<!doctype html") or head.startswith(b"<html"):
        raise LoadError("%s is an HTML page, not a results document; pages are not read back "
                        "(give results.yaml, results.json or a JUnit file)" % name)
    try:
        root = junit_input.parse(data, name)
        if not junit_input.is_junit(root.tag):
            raise LoadError("%s is an XML report other than JUnit; XML is not read back "
                            "(give results.yaml, results.json or a JUnit file)" % name)
        tree: "ReportObjectBase" = junit_input.build(root, name, datetime.datetime(1970, 1, 1))
        return tree
    except LoadError:
        raise
    except RecursionError:
        raise LoadError("%s is nested too deeply to be JUnit XML" % name) from None
    except (ValueError, TypeError, OverflowError) as exc:
        raise LoadError("%s: %s" % (name, one_line(exc))) from None


def _recover(path: AnyPath, name: str) -> "ReportObjectBase":
    try:
        from korvo.reporter.journal import recover
    except ImportError:
        raise LoadError("%s is a journal; reading one needs korvo.reporter.journal, "
                        "which this installation lacks" % name) from None
    try:
        return recover(path)
    except OSError as exc:
        raise LoadError("cannot read %s: %s" % (name, exc.strerror or exc)) from None
    except RecursionError:
        raise LoadError("%s is nested too deeply to be a journal" % name) from None
    except (ValueError, TypeError, AttributeError, KeyError, IndexError, OverflowError) as exc:
        # no tree yet, a header that does not check out, or records forged to fit no tree
        raise LoadError("%s: %s" % (name, one_line(exc))) from None


def _decode_json(data: bytes, name: str) -> Any:
    from korvo.reporter import campaign

    try:
        doc = campaign._read_json(data)  # as json.loads, and Ctrl-C is honoured midway
        return json.loads(data) if doc is None else doc
    except RecursionError:
        raise
    except ValueError as exc:  # UnicodeDecodeError included
        raise LoadError("%s is not valid JSON: %s" % (name, exc)) from None


def _decode_yaml(data: bytes, name: str) -> Any:
    from korvo.reporter import campaign

    doc = campaign._read_yaml(data, _resolve_scalar)
    if doc is not None:
        return doc
    # Not the form our writer gives: PyYAML's own parser decides.
    import yaml

    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise LoadError("%s is not a results document (not UTF-8 text)" % name) from None
    try:
        try:
            _check_events(text, _fallback_loader(True))
            return yaml.load(text, Loader=_fallback_loader(True))
        except yaml.YAMLError as exc:
            if "nesting depth" in str(getattr(exc, "problem", "")):
                mark = getattr(exc, "problem_mark", None)
                raise _Refused(_TOO_DEEP % (mark.line + 1 if mark is not None else 0)) from None
            # libyaml refuses some escapes our writer gives (lone surrogates); PyYAML's
            # pure parser reads them
            _check_events(text, _fallback_loader(False))
            return yaml.load(text, Loader=_fallback_loader(False))
    except _Refused as exc:
        raise LoadError("%s: %s" % (name, exc)) from None
    except yaml.YAMLError as exc:
        where = getattr(exc, "problem_mark", None)
        at = " (line %d)" % (where.line + 1) if where is not None else ""
        problem = getattr(exc, "problem", None) or type(exc).__name__
        raise LoadError("%s is not valid YAML%s: %s" % (name, at, problem)) from None
    except (ValueError, TypeError, AttributeError, OverflowError) as exc:
        # the parser read a scalar its constructors cannot build (a date-time out of range)
        raise LoadError("%s: YAML value that cannot be read: %s" % (name, exc)) from None


class _Refused(ValueError):
    """A YAML document of a form results are never written in."""


# Deepest nesting of YAML collections handed to PyYAML: its composer recurses on the C stack
# once per level (and crashed Python 3.8 between 20,000 and 50,000 levels), and its pure
# parser takes time in proportion to the depth for every token. Newer libyaml refuses
# deeper documents itself; the same cap holds with an older one, or without it.
MAX_YAML_DEPTH = 1000
_TOO_DEEP = "nested too deeply to be a results document (line %d)"


def _check_events(text: str, loader: "Type[Any]") -> None:
    """Raises _Refused at the first anchor or alias of `text`, or where its collections
    nest deeper than MAX_YAML_DEPTH, reading the parser's events only (which takes no
    stack).

    Our writers never give anchors, and an alias makes one node of the text many: a few
    hundred bytes stand for billions of values, or put one mapping in two places of a tree.
    """
    import yaml

    depth = 0
    for event in yaml.parse(text, Loader=loader):
        alias = isinstance(event, yaml.AliasEvent)
        if alias or getattr(event, "anchor", None) is not None:
            raise _Refused("YAML %s at line %d: anchors and aliases are not read"
                           % ("alias" if alias else "anchor", _line_of(event)))
        if isinstance(event, yaml.CollectionStartEvent):
            depth += 1
            if depth > MAX_YAML_DEPTH:
                raise _Refused(_TOO_DEEP % _line_of(event))
        elif isinstance(event, yaml.CollectionEndEvent):
            depth -= 1


def _line_of(event: "yaml.Event") -> int:
    mark = event.start_mark
    return mark.line + 1 if mark is not None else 0


def _fallback_loader(native: bool) -> "Type[Any]":
    key = "loader", native
    if key not in _helpers:
        import datetime

        import yaml

        base = getattr(yaml, "CSafeLoader", yaml.SafeLoader) if native else yaml.SafeLoader

        class Loader(base):  # type: ignore[valid-type,misc]
            """The safe loader, reading the date-times whose offset has seconds too."""

            def construct_yaml_timestamp(self, node: "yaml.ScalarNode") -> Any:
                try:
                    return super().construct_yaml_timestamp(node)
                except AttributeError:  # its pattern stops short of such offsets
                    return datetime.datetime.fromisoformat(self.construct_scalar(node))

        Loader.add_constructor("tag:yaml.org,2002:timestamp", Loader.construct_yaml_timestamp)
        _helpers[key] = Loader
    loader: "Type[Any]" = _helpers[key]
    return loader


def _resolve_scalar(text: str, tag: Optional[str]) -> Any:
    """A YAML scalar's value as the safe loader builds it (tag None: a plain scalar)."""
    import yaml

    if tag is None:
        tag = _resolver().resolve(yaml.ScalarNode, text, (True, False))
    if tag not in _SCALAR_TAGS:
        return NotImplemented
    construct = yaml.SafeLoader.yaml_constructors[tag]
    try:
        return construct(_constructor(), yaml.ScalarNode(tag, text))
    except Exception:  # the resolver took it for a type its constructor cannot build
        # PyYAML's own parser then decides (and reports) what this text is.
        return NotImplemented


_helpers: Dict[Any, Any] = {}


def _resolver() -> Any:
    if "resolver" not in _helpers:
        import yaml

        _helpers["resolver"] = yaml.resolver.Resolver()
    return _helpers["resolver"]


def _constructor() -> Any:
    if "constructor" not in _helpers:
        import yaml

        _helpers["constructor"] = yaml.constructor.SafeConstructor()
    return _helpers["constructor"]


def _report_of(doc: Any, name: str) -> Any:
    from korvo.reporter import campaign

    if not (isinstance(doc, dict) and "version" in doc and "report" in doc):
        raise LoadError("%s is not a results document (expected a mapping with 'version' "
                        "and 'report')" % name)
    if doc["version"] != campaign.VERSION:
        raise LoadError("%s has results format %r; this package reads %s"
                        % (name, doc["version"], campaign.VERSION))
    return doc["report"]


def _results_by_value() -> Dict[str, Any]:
    """{value: result constant} of the results module the model uses now."""
    from korvo.reporter import campaign

    result_type = campaign.TestResult
    module = sys.modules.get(getattr(result_type, "__module__", ""), None)
    known: Dict[str, Any] = {}
    for value in vars(module).values() if module is not None else ():
        if isinstance(value, result_type):
            known.setdefault(value.value, value)
    return known
