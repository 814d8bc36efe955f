"""recursive_update: deep, in-place, no-copy merging."""

import pytest

from korvo.datastructures import AttrDict
from korvo.reporter.campaign import recursive_update


def test_nested_mappings_merge_in_place():
    inner = {"y": 1}
    target = {"x": inner}
    recursive_update(target, {"x": {"z": 2}})
    assert target == {"x": {"y": 1, "z": 2}} and target["x"] is inner


def test_lists_extend_and_other_values_replace():
    keep = [1, 2]
    target = {"l": keep, "m": [1], "t": [1], "d": {"a": 1}, "s": {"a": 1}}
    recursive_update(target, {"l": [3], "m": 3, "t": (4,), "d": [1], "s": None})
    assert target == {"l": [1, 2, 3], "m": 3, "t": (4,), "d": [1], "s": None}
    assert target["l"] is keep


def test_taken_over_values_are_shared_not_copied():
    source_inner = {"y": 2}
    target = {"x": 1}
    recursive_update(target, {"x": source_inner})
    assert target["x"] is source_inner
    recursive_update(target, {"x": {"z": 3}})
    assert source_inner == {"y": 2, "z": 3}


def test_empty_source_values():
    target = {"d": {"a": 1}, "l": [1], "n": 5}
    recursive_update(target, {"d": {}, "l": []})
    assert target == {"d": {"a": 1}, "l": [1], "n": 5}
    recursive_update(target, {"n": {}})
    assert target["n"] == {}


def test_new_keys_follow_source_order_after_existing_ones():
    target = {"b": 1}
    recursive_update(target, {"z": 1, "a": 2, "b": 3})
    assert list(target) == ["b", "z", "a"] and target["b"] == 3


def test_attrdict_counts_as_mapping_on_both_sides():
    target = AttrDict(cfg=AttrDict(a=1))
    recursive_update(target, {"cfg": AttrDict(b=2)})
    assert target.cfg == {"a": 1, "b": 2}
    plain = {"cfg": {"a": 1}}
    recursive_update(plain, AttrDict(cfg={"c": 3}))
    assert plain == {"cfg": {"a": 1, "c": 3}}


def test_named_arguments():
    target = {}
    recursive_update(a=target, b={"k": 1})
    assert target == {"k": 1}


@pytest.mark.parametrize("source", [None, [("k", 1)], 3])
def test_source_that_is_not_a_mapping_fails_at_once(source):
    target = {"k": 0}
    with pytest.raises(TypeError):
        recursive_update(target, source)
    assert target == {"k": 0}


def test_target_that_is_not_a_mapping_fails():
    with pytest.raises((TypeError, AttributeError)):
        recursive_update([1], {"k": 1})


def test_partial_merge_stays_on_nested_failure():
    target = {"a": 0, "b": {"c": 1}}
    bad = {"a": 1, "b": {"c": 2}}

    class Broken(dict):
        def items(self):
            raise KeyError("broken")

    bad["b"] = Broken(c=2)
    with pytest.raises(KeyError):
        recursive_update(target, bad)
    assert target["a"] == 1


def test_very_deep_source_raises_recursion_error():
    source = {}
    node = source
    for _ in range(100_000):
        node["k"] = {}
        node = node["k"]
    target = {}
    node = target
    for _ in range(100_000):
        node["k"] = {}
        node = node["k"]
    with pytest.raises(RecursionError):
        recursive_update(target, source)


def test_self_containing_mapping_raises_recursion_error():
    loop = {}
    loop["self"] = loop
    with pytest.raises(RecursionError):
        recursive_update(loop, loop)


def test_source_growing_during_merge_is_detected():
    source = {"a": {"b": 1}}
    target = {"a": source}  # merging source["a"] into source itself adds the key "b"
    with pytest.raises(RuntimeError, match="changed size"):
        recursive_update(target, source)
