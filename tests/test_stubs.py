"""The shipped type stubs: installed with the package and in step with the native modules."""

import ast
import importlib
import inspect
import re
from pathlib import Path

import pytest

import korvo.reporter

PACKAGE = Path(korvo.reporter.__file__).parent
MODULES = ["campaign", "scribe"]


def stub_tree(name):
    return ast.parse((PACKAGE / (name + ".pyi")).read_text())


def stub_names(tree):
    """Top-level names and, per class, its member names and function arguments."""
    top, classes, functions = set(), {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            top.add(node.name)
            members = classes[node.name] = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = item.args
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = None
        elif isinstance(node, ast.FunctionDef):
            top.add(node.name)
            functions[node.name] = node.args
        elif isinstance(node, ast.AnnAssign):
            top.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # re-exports are spelled "from m import X as X" or "import m.n as Alias"
            for alias in node.names:
                if alias.asname and (isinstance(node, ast.Import) or alias.asname == alias.name):
                    top.add(alias.asname)
    return top, classes, functions


def runtime_args(func):
    """The argument list of a native or Python function as an ast.arguments, or None."""
    sig = getattr(func, "__nb_signature__", None)
    if sig:
        text = re.sub(r"\\\d+", "...", sig[0][0])
        return ast.parse(text + ": ...").body[0].args
    try:
        signature = inspect.signature(func)
    except (TypeError, ValueError):
        return None
    return ast.parse("def f%s: ..." % signature).body[0].args


def arg_shape(args):
    positional = [a.arg for a in args.posonlyargs + args.args if a.arg not in ("self", "cls")]
    return positional, [a.arg for a in args.kwonlyargs], args.kwarg is not None


def test_stubs_and_marker_are_installed():
    for name in MODULES:
        assert (PACKAGE / (name + ".pyi")).is_file(), name
    assert (PACKAGE / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_every_public_runtime_name_has_a_stub(name):
    module = importlib.import_module("korvo.reporter." + name)
    top, classes, _ = stub_names(stub_tree(name))
    public = {n for n in vars(module) if not n.startswith("__")}
    assert public <= top, sorted(public - top)
    for cls_name, members in classes.items():
        cls = getattr(module, cls_name, None)
        if not isinstance(cls, type) or cls.__module__ != module.__name__:
            continue
        own = {n for n in vars(cls) if not n.startswith("__")}
        assert own <= set(members), (cls_name, sorted(own - set(members)))


@pytest.mark.parametrize("name", MODULES)
def test_every_stubbed_name_exists_at_runtime(name):
    module = importlib.import_module("korvo.reporter." + name)
    top, classes, _ = stub_names(stub_tree(name))
    missing = sorted(n for n in top if not hasattr(module, n))
    assert missing == []
    for cls_name, members in classes.items():
        cls = getattr(module, cls_name)
        methods = [m for m, args in members.items() if args is not None]
        assert [m for m in methods if not hasattr(cls, m)] == [], cls_name


@pytest.mark.parametrize("name", MODULES)
def test_argument_names_agree(name):
    """Stubbed arguments match the native ones; a native **kwargs is stubbed as such."""
    module = importlib.import_module("korvo.reporter." + name)
    _, classes, functions = stub_names(stub_tree(name))
    pairs = [(getattr(module, f, None), args, f) for f, args in functions.items()]
    for cls_name, members in classes.items():
        cls = getattr(module, cls_name, None)
        if cls is None or getattr(cls, "__module__", "") != module.__name__:
            continue  # classes of other packages are re-exported, not ours
        for member, args in members.items():
            if args is not None and member in vars(cls):
                pairs.append((vars(cls)[member], args, cls_name + "." + member))
    compared = 0
    for func, stub_args, label in pairs:
        if isinstance(func, (classmethod, staticmethod)):
            func = func.__func__
        real = runtime_args(func) if func is not None else None
        if real is None:
            continue
        real_pos, real_kw, real_varkw = arg_shape(real)
        stub_pos, stub_kw, stub_varkw = arg_shape(stub_args)
        assert real_pos == stub_pos, label
        assert real_varkw == stub_varkw, label
        if not real_varkw:
            assert real_kw == stub_kw, label
        compared += 1
    assert compared >= (10 if name == "campaign" else 0)
