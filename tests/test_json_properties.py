"""Properties: the native dump_json writes what the standard encoder writes with JSONDumper,
and JSONDumper.default follows the report's substitution rules, for arbitrary values and trees."""

import json

from hypothesis import given, settings
from hypothesis import strategies as st

from korvo.reporter import campaign
from korvo.reporter.campaign import Campaign, JSONDumper

from support.oracles import RulesEncoder, check_json, expected_to_dict, json_paths, outcome
from support.profiles import examples
from support.strategies import (BAD_JSON_VALUES, JSON_KEYS, JSON_SCALARS, JSON_VALUES, TEXTS,
                                json_trees, trees)

SETTINGS = settings(max_examples=examples(1.5))


@SETTINGS
@given(json_trees())
def test_native_dump_equals_standard_encoder_on_trees(root):
    check_json(root)
    native = outcome(root.dump_json)
    if native[0] == "ok":
        assert json.loads(native[1])["version"] == campaign.VERSION


@SETTINGS
@given(trees(st.one_of(JSON_VALUES, BAD_JSON_VALUES), JSON_KEYS))
def test_native_dump_fails_like_standard_encoder_on_bad_values(root):
    check_json(root)


@SETTINGS
@given(JSON_VALUES, st.data())
def test_cycles_anywhere_are_reported(value, data):
    holder = data.draw(st.sampled_from(["list", "dict"]))
    loop = [] if holder == "list" else {}
    cyclic = [loop, value]  # the loop comes first, so it is met before any bad value
    if holder == "list":
        loop.append(cyclic)
    else:
        loop[data.draw(TEXTS)] = cyclic
    root = Campaign(id="c", seq_num=0)
    root.update({"extra": {"v": cyclic}})
    native = outcome(root.dump_json, message=True)
    assert native == outcome(json_paths(root)[0], message=True)
    assert native[:2] == ("raises", ValueError)


@SETTINGS
@given(st.one_of(JSON_SCALARS, BAD_JSON_VALUES))
def test_jsondumper_default_follows_the_rules(value):
    assert (outcome(lambda: JSONDumper().default(value), message=True)
            == outcome(lambda: RulesEncoder().default(value), message=True))


@SETTINGS
@given(json_trees())
def test_to_dict_is_the_listed_attributes_with_child_ids(root):
    for node in [root] + list(root.tasks):
        d = node.to_dict()
        expected = expected_to_dict(node)
        assert list(d) == list(expected)
        for k, v in expected.items():
            assert d[k] is v or d[k] == v
