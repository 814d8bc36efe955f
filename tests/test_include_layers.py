"""The native sources' dependencies point one way: every `#include "..."` under cpp/ stays in
its own folder or reaches a lower layer.

Layers, lowest first: common < files < each module's own layers. In `campaign`: model < walk
< the features (json, yaml and every newer folder: output, journal, load, junit, html, ...)
< bindings. In `scribe`: runtime < xml < mapping < export (and newer folders) < bindings.
Features may use each other, except that the two writers, json and yaml, stay apart.
The two modules never include each other: what both need lives in common/ or files/."""

import os
import re
from pathlib import Path

import pytest

CPP = Path(__file__).resolve().parent.parent / "cpp"
SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".def", ".inc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)

SHARED = {"common": 0, "files": 1}
MODULE_LAYERS = {
    "campaign": {"model": 2, "walk": 3, "bindings": 9},
    "scribe": {"runtime": 2, "xml": 3, "mapping": 4, "export": 5, "bindings": 9},
}
FEATURE = 8  # any other folder of a module
APART = {frozenset({"campaign/json", "campaign/yaml"})}

def folder_of(relative):
    """The layer folder of a path under cpp/: 'common', 'files' or 'module/layer'."""
    parts = Path(relative).parts
    if parts[0] in SHARED or len(parts) < 3:
        return parts[0]
    return parts[0] + "/" + parts[1]


def rank(folder):
    if folder in SHARED:
        return SHARED[folder]
    module, _, layer = folder.partition("/")
    return MODULE_LAYERS.get(module, {}).get(layer, FEATURE)


def allowed(source, target):
    if source == target:
        return True
    if frozenset({source, target}) in APART:
        return False
    if target not in SHARED and source not in SHARED:
        if source.split("/")[0] != target.split("/")[0]:
            return False  # the other module
    if source in SHARED and target not in SHARED:
        return False
    return rank(target) < rank(source) or (rank(target) == rank(source) == FEATURE)


def includes(root):
    """(including file, included file), both relative to `root`, for every quoted include.
    A name is looked up beside the including file first, then from `root`; one found in
    neither place is returned as written."""
    for path in sorted(p for p in root.rglob("*") if p.suffix in SOURCE_SUFFIXES):
        source = path.relative_to(root).as_posix()
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            for base in (path.parent, root):
                if (base / name).is_file():
                    name = Path(os.path.relpath(os.path.normpath(base / name), root)).as_posix()
                    break
            yield source, name


def violations(root):
    out = set()
    for source, target in includes(root):
        if not (root / target).exists():
            out.add((source, target))  # a header the layout cannot place
        elif not allowed(folder_of(source), folder_of(target)):
            out.add((source, target))
    return out


# --- the rule on the tree ------------------------------------------------------------------

FOLDERS = sorted({folder_of(p.relative_to(CPP).as_posix())
                  for p in CPP.rglob("*") if p.suffix in SOURCE_SUFFIXES})


@pytest.mark.parametrize("folder", FOLDERS)
def test_includes_point_down_the_layers(folder):
    found = sorted((s, t) for s, t in violations(CPP) if folder_of(s) == folder)
    assert not found, "\n".join("%s includes %s" % pair for pair in found)


# --- the checker itself --------------------------------------------------------------------

def plant(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


HEADERS = ["common/a.hpp", "files/f.hpp", "campaign/model/node.hpp", "campaign/walk/w.hpp",
           "campaign/json/j.hpp", "campaign/yaml/y.hpp", "campaign/journal/k.hpp",
           "campaign/bindings/b.hpp", "scribe/runtime/r.hpp", "scribe/mapping/m.hpp",
           "scribe/bindings/s.hpp"]


@pytest.mark.parametrize("source, target", [
    ("campaign/model/x.cpp", "campaign/walk/w.hpp"),
    ("campaign/model/x.cpp", "campaign/json/j.hpp"),
    ("campaign/model/x.cpp", "campaign/bindings/b.hpp"),
    ("campaign/walk/x.cpp", "campaign/yaml/y.hpp"),
    ("campaign/walk/x.cpp", "campaign/journal/k.hpp"),
    ("campaign/json/x.cpp", "campaign/bindings/b.hpp"),
    ("campaign/json/x.cpp", "campaign/yaml/y.hpp"),
    ("campaign/yaml/x.cpp", "campaign/json/j.hpp"),
    ("campaign/journal/x.cpp", "campaign/bindings/b.hpp"),
    ("common/x.cpp", "campaign/model/node.hpp"),
    ("common/x.cpp", "files/f.hpp"),
    ("files/x.cpp", "scribe/runtime/r.hpp"),
    ("scribe/runtime/x.cpp", "scribe/mapping/m.hpp"),
    ("scribe/mapping/x.cpp", "campaign/model/node.hpp"),
    ("campaign/json/x.cpp", "scribe/runtime/r.hpp"),
    ("campaign/json/x.cpp", "campaign/json/missing.hpp"),
])
def test_checker_finds_an_upward_include(tmp_path, source, target):
    plant(tmp_path, {name: "" for name in HEADERS})
    plant(tmp_path, {source: '#include <vector>\n#include "%s"\n' % target})
    assert violations(tmp_path) == {(source, target)}


def test_checker_accepts_downward_and_local_includes(tmp_path):
    plant(tmp_path, {name: "" for name in HEADERS})
    plant(tmp_path, {
        "campaign/bindings/x.cpp": '#include "campaign/json/j.hpp"\n#include "files/f.hpp"\n',
        "campaign/journal/x.cpp": '#include "campaign/json/j.hpp"\n#include "campaign/walk/w.hpp"\n',
        "campaign/walk/x.cpp": '#  include "campaign/model/node.hpp"\n#include "w.hpp"\n',
        "scribe/mapping/x.cpp": '#include "scribe/runtime/r.hpp"\n#include "common/a.hpp"\n',
        "files/x.cpp": '#include "common/a.hpp"\n// #include "campaign/bindings/b.hpp" once\n',
    })
    assert violations(tmp_path) == set()
