"""Type stubs of the native report model and its YAML/JSON writers."""

import datetime
import os
import json
import os
from typing import Any, Callable, ClassVar, Dict, List, Mapping, Optional, Tuple, Union

import yaml
from korvo.datastructures import AttrDict as AttrDict
from korvo.results import Passed as Passed
from korvo.results import ResultCounter as ResultCounter
from korvo.results import TestResult as TestResult
from korvo.utils.utils import get_time as get_time
from yaml.nodes import MappingNode, Node, ScalarNode

VERSION: str
VALUE_IGNORE: List[Any]
FLOAT_PRECISION: int
YAML_MAP: str
YAML_STR: str
YAML_FLT: str

def _write_file(path: Union[str, bytes, "os.PathLike[str]"], data: Any) -> None: ...
# Reading results back and merging (korvo.reporter.loading and .merging wrap these).
def _build_tree(report: Any, results_by_value: Dict[str, Any], from_yaml: bool) -> "ReportObjectBase": ...
def _read_yaml(data: bytes, resolve: Callable[[str, Optional[str]], Any]) -> Any: ...
def _read_input(path: Union[str, bytes, "os.PathLike[str]", None]) -> bytes: ...
def _check_input(path: Union[str, bytes, "os.PathLike[str]"]) -> None: ...
def _result_class(name: Any) -> str: ...
def _merge_trees(campaigns: List["Campaign"], sources: List[Optional[str]], id: Any) -> "Campaign": ...
def _junit_text(campaign: Any, logs_dir: Union[str, bytes, "os.PathLike[str]", None] = None) -> str: ...
def _write_junit(
    campaign: Any,
    path: Union[str, bytes, "os.PathLike[str]"],
    logs_dir: Union[str, bytes, "os.PathLike[str]", None] = None,
) -> Tuple[int, int, int, int]: ...
# The live journal (korvo.reporter.journal): a handle per open journal, the replay and the
# stop of what it left open.
def _journal_open(root: Any, path: Union[str, bytes, "os.PathLike[str]"], durability: int) -> int: ...
def _journal_close(handle: int) -> None: ...
def _journal_flagged(handle: int) -> int: ...
def _journal_close_all() -> None: ...
def _journal_replay(path: Union[str, bytes, "os.PathLike[str]"]) -> Dict[str, Any]: ...
def _journal_abort(open: List[Any], detail: str) -> List[Any]: ...
def _html_data(
    root: Any,
    logs_dir: Union[str, bytes, "os.PathLike[str]", None],
    slice_cap: int,
    total_cap: int,
) -> str: ...

class ReportObjectBase:
    _ARG_ORDER: ClassVar[List[str]]
    type: str
    id: Any
    seq_num: Any
    name: Any
    starttime: Optional[datetime.datetime]
    stoptime: Optional[datetime.datetime]
    runtime: Optional[float]
    details: List[Any]
    extra: Dict[Any, Any]
    _parent: Optional["ReportObjectBase"]
    def __init__(
        self,
        id: Any,
        seq_num: Any,
        parent: Optional["ReportObjectBase"] = None,
        type: Optional[str] = None,
    ) -> None: ...
    @property
    def fullid(self) -> Any: ...
    @property
    def idlist(self) -> List[Any]: ...
    def start(self, **kwargs: Any) -> None: ...
    def stop(self, **kwargs: Any) -> None: ...
    def update(self, data: Mapping[str, Any]) -> None: ...
    def update_extra(self, data: Mapping[Any, Any]) -> None: ...
    def add_detail(self, detail: Any) -> None: ...
    def roll_up(self) -> None: ...
    def dump_json(self) -> str: ...
    def dump_yaml(self) -> str: ...
    def write_yaml(self, path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> None:
        """Writes the bytes of dump_yaml() to `path`, streamed in chunks with bounded memory.

        The text goes to a new file in path's directory that replaces `path` only once
        complete (a link in its place is replaced, never followed); on any error, Ctrl-C
        included, `path` is left as it was. A subclass's or instance's own dump_yaml is
        honoured (its text written as UTF-8). Raises OSError naming `path`.
        """
    def write_json(self, path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> None:
        """Writes the bytes of dump_json() to `path`; the same rules as write_yaml."""
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def to_yaml(cls, dumper: "YAMLDumper", data: "ReportObjectBase") -> MappingNode: ...

class Campaign(ReportObjectBase):
    _ARG_ORDER: ClassVar[List[str]]
    summary: ResultCounter
    pluginsummary: ResultCounter
    totaltasks: Any
    tasks: List[Union["Task", "Plugin"]]
    # Present once supplied through start/stop/update.
    cli: Any
    jobfile: Any
    korvopath: Any
    korvoversion: Any
    host: Any
    submitter: Any
    archivefile: Any
    def __init__(
        self,
        *,
        id: Any,
        seq_num: Any,
        parent: Optional[ReportObjectBase] = None,
        type: Optional[str] = None,
    ) -> None: ...
    @property
    def testscripts(self) -> List[Union["Task", "Plugin"]]: ...
    def add_task(self, **kwargs: Any) -> "Task": ...
    def add_plugin(self, **kwargs: Any) -> "Plugin": ...
    def stop(self, *, num_tasks: Any = 0, **kwargs: Any) -> None: ...
    def roll_up(self) -> None: ...

class Task(ReportObjectBase):
    _ARG_ORDER: ClassVar[List[str]]
    logfile: Optional[str]
    summary: ResultCounter
    pluginsummary: ResultCounter
    sections: List[Union["Section", "Plugin"]]
    # Present once supplied through start/stop/update.
    description: Any
    testscript: Any
    parameters: Any
    def __init__(
        self,
        *,
        id: Any,
        seq_num: Any,
        parent: Optional[ReportObjectBase] = None,
        type: Optional[str] = None,
    ) -> None: ...
    def stop(self, **kwargs: Any) -> None: ...
    def roll_up(self) -> None: ...
    def add_section(self, **kwargs: Any) -> "Section": ...
    def add_plugin(self, **kwargs: Any) -> "Plugin": ...

class Section(ReportObjectBase):
    _ARG_ORDER: ClassVar[List[str]]
    result: Optional[TestResult]
    sections: List["Section"]
    logfile: Optional[str]
    logs: Dict[str, Any]
    # Present once supplied through start/stop/update.
    description: Any
    xref: Any
    parameters: Any
    def __init__(
        self,
        *,
        id: Any,
        seq_num: Any,
        parent: Optional[ReportObjectBase] = None,
        type: Optional[str] = None,
    ) -> None: ...
    def start(self, *, logfile: Optional[str] = None, **kwargs: Any) -> None: ...
    def stop(self, **kwargs: Any) -> None: ...
    def add_section(self, **kwargs: Any) -> "Section": ...

class Plugin(ReportObjectBase):
    _ARG_ORDER: ClassVar[List[str]]
    sections: List[Section]
    result: Optional[TestResult]
    summary: Optional[ResultCounter]
    logs: Dict[str, Any]
    # Present once supplied through start/stop/update.
    logfile: Optional[str]
    description: Any
    def __init__(
        self,
        *,
        id: Any,
        seq_num: Any,
        parent: Optional[ReportObjectBase] = None,
        type: Optional[str] = None,
    ) -> None: ...
    def start(self, **kwargs: Any) -> None: ...
    def stop(self, *, logfile: Optional[str] = None, **kwargs: Any) -> None: ...
    def roll_up(self) -> None: ...
    def add_section(self, **kwargs: Any) -> Section: ...

class ReportHeader:
    report: Any
    def __init__(self, report: Any) -> None: ...
    @classmethod
    def to_yaml(cls, dumper: "YAMLDumper", data: "ReportHeader") -> MappingNode: ...

class YAMLDumper(yaml.SafeDumper):
    yaml_representers: ClassVar[Dict[Any, Callable[..., Node]]]
    def increase_indent(self, flow: bool = False, indentless: bool = False) -> None: ...
    def ignore_aliases(self, data: Any) -> bool: ...

class JSONDumper(json.JSONEncoder):
    def default(self, obj: Any) -> Any: ...

def recursive_update(a: Any, b: Mapping[Any, Any]) -> None: ...
def str_representer(dumper: yaml.SafeDumper, data: str) -> ScalarNode: ...
def float_representer(dumper: yaml.SafeDumper, data: float) -> ScalarNode: ...
def type_representer(dumper: yaml.SafeDumper, data: type) -> ScalarNode: ...
def unknown_representer(dumper: yaml.SafeDumper, data: Any) -> MappingNode: ...
def ResultCounter_representer(dumper: yaml.SafeDumper, data: ResultCounter) -> MappingNode: ...
def TestResult_representer(dumper: yaml.SafeDumper, data: TestResult) -> MappingNode: ...
def AttrDict_representer(dumper: yaml.SafeDumper, data: AttrDict) -> MappingNode: ...
