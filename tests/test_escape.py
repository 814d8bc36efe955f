"""Control-character escaping of text bound for the legacy XML report."""

import collections
import re

import pytest
from hypothesis import given, settings, strategies as st

from korvo.reporter import scribe

from support.profiles import examples

ESC = "\x1b"


def reference_escape(text):
    """The cleaning done the slow way: pattern substitution, then a UTF-8 round trip."""
    substituted = scribe.ESCAPE_SEQUENCE.sub(scribe._escape_repl, text)
    return substituted.encode("utf-8", "backslashreplace").decode("utf-8")


# Texts mixing the characters the cleaning cares about with ordinary and wide ones,
# lone surrogates included.
special_chars = st.sampled_from(
    [chr(c) for c in range(0x20)] + ["\x7f", "\\", "x", "\ud800", "\udfff", "\udc80", "é", "\U0001f600"]
)
any_chars = st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=())
texts = st.text(st.one_of(special_chars, any_chars), max_size=40)


# What XML 1.0 cannot carry, beyond the lowest controls and ESC of the older cleaning.
XML_ILLEGAL = [0x0B, 0x0C] + list(range(0x0E, 0x1B)) + list(range(0x1C, 0x20)) + [0xFFFE, 0xFFFF]


def test_pattern_matches_every_character_xml_cannot_carry_and_esc():
    assert scribe.ESCAPE_SEQUENCE.flags == re.compile("x").flags
    candidates = list(range(0x80)) + [0xD7FF, 0xE000, 0xFFFD, 0xFFFE, 0xFFFF, 0x10000]
    matched = [c for c in candidates if scribe.ESCAPE_SEQUENCE.fullmatch(chr(c))]
    assert matched == sorted(list(range(9)) + [0x1B] + XML_ILLEGAL)


@settings(deadline=None)
@given(st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=(),
                             exclude_characters=[chr(c) for c in XML_ILLEGAL])))
def test_text_without_the_added_characters_escapes_as_before(text):
    older = re.sub("[\x00-\x08]|\x1b", lambda m: "\\x%02x" % ord(m.group()), text)
    assert scribe.escape(text) == older.encode("utf-8", "backslashreplace").decode("utf-8")


def test_escaped_text_is_xml_text():
    from xml.dom import minidom
    text = "".join(chr(c) for c in range(0x20)) + "\ufffe\uffff\ud800 end"
    cleaned = scribe.escape(text)
    document = minidom.parseString(("<a>%s</a>" % cleaned).encode("utf-8"))
    assert document.documentElement.firstChild.data == cleaned.replace("\r", "\n")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        (ESC + "[31mred" + ESC + "[0m", "\\x1b[31mred\\x1b[0m"),
        ("\x00", "\\x00"),
        ("\x07", "\\x07"),
        ("\x08", "\\x08"),
        ("a\x01b\x02", "a\\x01b\\x02"),
        ("\t\n\r\x7f\x80\x9f", "\t\n\r\x7f\x80\x9f"),
        ("\x0b\x0c\x0e\x1a\x1c\x1f", "\\x0b\\x0c\\x0e\\x1a\\x1c\\x1f"),
        ("a\ufffeb\uffff\ufffd", "a\\ufffeb\\uffff\ufffd"),
        ("\U0001f600\uffff", "\U0001f600\\uffff"),
        ("\udc80", "\\udc80"),
        ("\ud800\x01", "\\ud800\\x01"),
        ("\U0001f600", "\U0001f600"),
        ("\U0001f600\x1b", "\U0001f600\\x1b"),
        ("é\x05", "é\\x05"),
        ("\u20ac\x05\udfff", "\u20ac\\x05\\udfff"),
        ("\\x1b", "\\x1b"),
    ],
)
def test_escape_edge_cases(text, expected):
    result = scribe.escape(text)
    assert result == expected
    assert type(result) is str


@settings(max_examples=examples(4))
@given(texts)
def test_escape_matches_substitution_and_round_trip(text):
    assert scribe.escape(text) == reference_escape(text)


@settings(max_examples=examples(2))
@given(texts)
def test_escape_repl_is_the_substitution_callback(text):
    # Without surrogates the substitution alone is the whole cleaning.
    text = text.encode("utf-8", "replace").decode("utf-8")
    assert scribe.ESCAPE_SEQUENCE.sub(scribe._escape_repl, text) == scribe.escape(text)


def test_escape_repl_formats_the_match():
    assert scribe._escape_repl(scribe.ESCAPE_SEQUENCE.search("ab" + ESC)) == "\\x1b"
    assert scribe._escape_repl(match=re.search("\x00", "\x00")) == "\\x00"
    # Above U+00FF the form is \uXXXX, as for the code points UTF-8 cannot encode.
    assert scribe._escape_repl(re.search(".", "\u0101")) == "\\u0101"
    assert scribe._escape_repl(scribe.ESCAPE_SEQUENCE.search("a\uffff")) == "\\uffff"


def test_unchanged_text_and_subclasses():
    plain = "nothing to clean"
    assert scribe.escape(plain) is plain

    class Text(str):
        pass

    for value, expected in [(Text("abc"), "abc"), (Text("a\x01"), "a\\x01")]:
        result = scribe.escape(value)
        assert type(result) is str
        assert result == expected


@pytest.mark.parametrize("value", [b"\x01", bytearray(b"x"), 1, None, 1.5, ["a"]])
def test_escape_rejects_non_text_like_the_substitution(value):
    with pytest.raises(TypeError) as expected:
        scribe.ESCAPE_SEQUENCE.sub(scribe._escape_repl, value)
    with pytest.raises(TypeError) as raised:
        scribe.escape(value)
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize("func, name", [(scribe.escape, "string"), (scribe.escape_data, "data")])
def test_argument_errors(func, name):
    assert func(**{name: "\x01"}) == "\\x01"
    with pytest.raises(TypeError):
        func()
    with pytest.raises(TypeError):
        func("a", "b")
    with pytest.raises(TypeError):
        func(text="a")
    with pytest.raises(TypeError):
        func("a", **{name: "a"})
    with pytest.raises(TypeError):
        scribe._escape_repl()


@pytest.mark.parametrize(
    "value", [None, 0, 7, True, False, 1.25, b"\x01", bytearray(b"\x1b"), {"\x01"}, frozenset(), object()]
)
def test_escape_data_returns_other_values_themselves(value):
    assert scribe.escape_data(value) is value


def test_escape_data_set_members_are_not_cleaned():
    members = {"\x01", "\x1b"}
    result = scribe.escape_data(members)
    assert result is members
    assert result == {"\x01", "\x1b"}


def test_escape_data_nested_shapes():
    inner = ("a\x02", "b")
    data = [ESC + "x", 3, inner, {"k\x01": ["\x03", None]}]
    snapshot = repr(data)
    result = scribe.escape_data(data)
    assert result == ["\\x1bx", 3, ("a\\x02", "b"), {"k\\x01": ["\\x03", None]}]
    assert result is not data and result[2] is not inner
    assert repr(data) == snapshot  # the input is left alone
    # Containers are copied even when nothing in them changes.
    clean = [("a",), {"b": []}]
    copied = scribe.escape_data(clean)
    assert copied == clean
    assert copied is not clean and copied[0] is not clean[0] and copied[1] is not clean[1]
    assert copied[1]["b"] is not clean[1]["b"]


def test_escape_data_mapping_keys_and_collisions():
    assert scribe.escape_data({"\x01": "\x01"}) == {"\\x01": "\\x01"}
    # Two keys that clean to the same text: first position, later value.
    merged = scribe.escape_data({"\x01": 1, "z": 2, "\\x01": 3})
    assert list(merged.items()) == [("\\x01", 3), ("z", 2)]
    assert scribe.escape_data({("\x01", 2): ESC}) == {("\\x01", 2): "\\x1b"}


def test_escape_data_subtypes_become_plain_types():
    class L(list):
        pass

    class D(dict):
        pass

    Point = collections.namedtuple("Point", "x y")

    class Text(str):
        pass

    result = scribe.escape_data(L([Text("\x01"), D(a=Point("\x02", 1))]))
    assert type(result) is list
    assert type(result[0]) is str and result[0] == "\\x01"
    assert type(result[1]) is dict
    assert type(result[1]["a"]) is tuple and result[1]["a"] == ("\\x02", 1)
    assert type(scribe.escape_data(collections.OrderedDict(a=1))) is dict


def test_escape_data_uses_the_iteration_of_subtypes():
    class Reversed(list):
        def __iter__(self):
            return iter(list(list.__iter__(self))[::-1])

    class Shown(dict):
        def items(self):
            return [("shown\x01", "v\x02")]

    class Pair(tuple):
        def __iter__(self):
            return iter(("only\x03",))

    assert scribe.escape_data(Reversed(["a", "b\x01"])) == ["b\\x01", "a"]
    assert scribe.escape_data(Shown(hidden=1)) == {"shown\\x01": "v\\x02"}
    assert scribe.escape_data(Pair(("x", "y"))) == ("only\\x03",)


def test_escape_data_subtype_items_errors_propagate():
    class Broken(dict):
        def items(self):
            raise KeyError("boom")

    class BadPairs(dict):
        def items(self):
            return [("a", 1, 2)]

    with pytest.raises(KeyError, match="boom"):
        scribe.escape_data([Broken()])
    with pytest.raises(ValueError, match="too many values to unpack"):
        scribe.escape_data(BadPairs())


def test_escape_data_dict_changed_size():
    outer = {}

    class Grows(dict):
        def items(self):
            outer["added"] = 1
            return []

    outer["a"] = Grows()
    outer["b"] = 2
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        scribe.escape_data(outer)


@pytest.mark.parametrize("make", [lambda: [], lambda: {}])
def test_escape_data_self_containing_containers(make):
    data = make()
    if isinstance(data, list):
        data.append(["x", data])
    else:
        data["self"] = ("x", data)
    with pytest.raises(RecursionError):
        scribe.escape_data(data)


def test_escape_data_deep_nesting_raises_instead_of_crashing():
    data = "x"
    for _ in range(200_000):
        data = [data]
    with pytest.raises(RecursionError):
        scribe.escape_data(data)


values = st.recursive(
    st.one_of(st.none(), st.integers(), texts, st.binary(max_size=3)),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(texts, inner, max_size=4),
    ),
    max_leaves=20,
)


def reference_escape_data(data):
    if isinstance(data, str):
        return reference_escape(data)
    if isinstance(data, list):
        return [reference_escape_data(x) for x in data]
    if isinstance(data, dict):
        return {reference_escape_data(k): reference_escape_data(v) for k, v in data.items()}
    if isinstance(data, tuple):
        return tuple(reference_escape_data(x) for x in data)
    return data


@settings(max_examples=examples(2))
@given(values)
def test_escape_data_matches_recursive_definition(data):
    result = scribe.escape_data(data)
    expected = reference_escape_data(data)
    assert result == expected
    assert repr(result) == repr(expected)  # same shapes, order and key positions
