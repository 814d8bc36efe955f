"""The native YAML writer against the library's dumper with YAMLDumper, on generated data."""

from hypothesis import given, settings
from hypothesis import strategies as st

from korvo.reporter import campaign as c

from support.oracles import check_yaml
from support.profiles import examples
from support.strategies import KEYS, TEXTS, VALUES, WORDISH, trees

HEAVY = settings(max_examples=examples(2.5))


@HEAVY
@given(TEXTS)
def test_texts(text):
    node = c.Section(id="s", seq_num=1)
    node.update({"description": text, "extra": {text: text, "k": [text]}})
    check_yaml(node)


@HEAVY
@given(VALUES, KEYS)
def test_values(value, key):
    node = c.Section(id="s", seq_num=1)
    node.update({"name": key, "parameters": value, "extra": {"v": value, "w": [value]}})
    check_yaml(node)


@HEAVY
@given(st.dictionaries(KEYS, VALUES, min_size=1, max_size=6))
def test_mapping_keys(mapping):
    node = c.Task(id="t", seq_num=1)
    node.update({"extra": mapping, "details": [mapping]})
    check_yaml(node)


@settings(max_examples=examples(0.8))
@given(trees())
def test_report_trees(root):
    check_yaml(root)
    for task in root.tasks:
        check_yaml(task)


@HEAVY
@given(WORDISH, st.integers(0, 4), st.integers(-2 ** 63, 2 ** 63),
       st.datetimes(timezones=st.none()))
def test_name_like_texts_and_plain_values(text, depth, number, moment):
    node = c.Section(id="s", seq_num=1)
    nested = {"v": text, "n": number, "d": moment, "l": [text, number, moment]}
    for _ in range(depth):
        nested = {"deeper": nested, "w": [text]}
    node.update({"description": text, "name": text, "extra": {text: nested}})
    check_yaml(node)
