"""Generated report data: texts, numbers, date-times, results, counters, keys, values, trees.

Texts aim at what some writer rule treats specially (YAML implicit types and indicators,
line breaks, escapes, JSON's escapes, lone surrogates, folding around column 80); floats
at the two-decimal rounding ties; date-times at every kind of offset."""

import datetime

from hypothesis import strategies as st

from korvo.datastructures import AttrDict
from korvo.reporter import campaign as c
from korvo.results import Errored, Failed, Passed, Skipped

from support.values import (Colour, Level, Opaque, Share, SubDict, SubFloat, SubInt, SubList,
                            SubSection, SubStr, SubTask, SubTuple, Word, make_counter)

# --- texts ---------------------------------------------------------------------------------

SPECIAL_CHARS = ([chr(i) for i in range(0x20)] + [chr(i) for i in range(0x7F, 0xA1)]
                 + ["\u2028", "\u2029", "\ufeff", "\ufffe", "\uffff", "\U0001F600",
                    "\U0010FFFF", "\ud800", "\udbff", "\udc00", "\udfff", "\u3000", "\u1680",
                    "\u200b", "\u00e9", "'", '"', "\\", "/", "#", ":", "-", "?", "|", ">", "!",
                    "&", "*", "%", "@", "`", ",", "[", "]", "{", "}"])
# Texts a YAML reader would take for something else, or that start or end a document.
LOOKALIKES = [
    "0x1F", "0x1f", "0o17", "0o7", "017", "08", "0b11", "0b101", "1_000", ".5", "+1", "-1",
    "-7", "1e3", "1e5", "1.5e+3", "1.", "1:20", "190:20:30", "1:20.5", ".inf", "-.Inf", ".NaN",
    "~", "null", "Null", "NULL", "Yes", "yes", "YES", "No", "ON", "Off", "off", "y", "n", "Y",
    "N", "true", "False", "2024-05-01", "2024-5-1 10:00:00", "2024-05-01T10:00:00Z",
    "2024-05-01 10:00:00.5 +02:00", "2024-05-01 1:00:00 -5", "3.0", "12", "<<", "=", "!",
    "&", "*", "---", "...", "--- x", "- ", "-", "?", ":", "? x", ": x", "#c", "a #c", "a# c",
    "x:", "x: y", "x:y", "[a]", "{a}", "a,b", "@x", "`x", "%x", "|x", ">x", "a'b", "",
    " ", "nan", "inf", "\u00e9t\u00e9",
]
ANY_CHAR = st.characters(exclude_categories=())  # lone surrogates included
PIECES = st.one_of(
    st.sampled_from(SPECIAL_CHARS),
    st.sampled_from(LOOKALIKES),
    st.sampled_from([" ", "  ", "\t", "\n", "\n\n", "\r\n", " \n", "\n ", "\t\n", " \t", "word",
                     "a few words", "x" * 30, "x" * 37]),
    st.characters(),
    st.text(ANY_CHAR, max_size=6),
)
# Long texts: folding of plain, single- and double-quoted scalars around column 80.
LONG_TEXTS = st.lists(st.sampled_from(["ab", "cde", "cdefg", "fghijklmn", " ", "  ", "\n", "'",
                                       '"', "\\", ":", "#", ": ", " #", "\u00e9", "\t", "\x07",
                                       "\U0001F600"]),
                      min_size=40, max_size=120).map("".join)
TEXTS = st.one_of(
    st.lists(PIECES, max_size=10).map("".join),
    st.sampled_from(LOOKALIKES),
    LONG_TEXTS,
    st.integers(150, 220).map(lambda n: ("word " * 50)[:n]),
    st.text(st.sampled_from("\n \t"), min_size=1, max_size=6),
    st.text(st.one_of(ANY_CHAR, st.sampled_from("\"\\\x00\x1f\x7f\b\f\n\r\t/")), max_size=12),
)
# Names, ids and paths take a shortcut in the YAML writer: texts over its own alphabet (plus
# the characters just outside it), reserved words in all cases, lengths around the fold.
WORDISH = st.one_of(
    st.text(alphabet="aZnNyYoOtTfF_/.-09 :#", min_size=1, max_size=12),
    st.sampled_from(["n", "N", "y", "no", "No", "nO", "NULL", "nulL", "Off", "oFF", "True",
                     "tRUE", "_", "/", "/a b", "a b ", "a  b", "a -b", "T-0", "step 0 of 1"]),
    st.lists(st.sampled_from(["word", " ", "a.b", "x/y", "z-9"]), min_size=10,
             max_size=40).map("".join),
)

# --- numbers and times ---------------------------------------------------------------------

INTS = st.one_of(st.integers(), st.integers(-(2 ** 300), 2 ** 300),
                 st.sampled_from([2 ** 63, -2 ** 63 - 1, 2 ** 64]))
# floats at and next to the two-decimal rounding ties, and at the ends of the range
TIES = st.builds(lambda k, d: (k / 1000) + d, st.integers(-20000, 20000),
                 st.sampled_from([0.0, 1e-17, -1e-17, 5e-16, -5e-16]))
FLOATS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True), TIES,
    st.floats(min_value=-1e-2, max_value=1e-2),
    st.sampled_from([2.675, 0.125, 0.375, 0.004, 0.005, 0.015, 1.005, -0.001, -0.004, -0.005,
                     1e16, 9999999999999998.0, 1e20, 1.5e20, 123456.785, 5e-324,
                     1.7976931348623157e308, -1.7976931348623157e308, -0.0, 12.0, 0.995,
                     99999999999999.99]),
)
OFFSETS = st.one_of(
    st.integers(-23 * 60, 23 * 60).map(lambda m: datetime.timedelta(minutes=m)),
    st.timedeltas(min_value=-datetime.timedelta(hours=23, minutes=59),
                  max_value=datetime.timedelta(hours=23, minutes=59)),
)
ZONES = st.one_of(st.none(), st.just(datetime.timezone.utc), OFFSETS.map(datetime.timezone))
DATETIMES = st.builds(lambda d, z: d.replace(tzinfo=z), st.datetimes(), ZONES)

# --- result values, counters, errors -------------------------------------------------------

RESULTS = st.builds(
    lambda base, reason, data: base.clone(reason=reason, data=data),
    st.sampled_from([Passed, Failed, Errored, Skipped]),
    st.one_of(st.none(), st.just(""), TEXTS),
    st.one_of(st.none(), st.just({}), st.dictionaries(TEXTS, st.integers(), max_size=2)))
COUNTERS = st.builds(
    make_counter,
    st.lists(st.tuples(st.one_of(st.sampled_from(["passed", "failed", "total", "x", "x y"]),
                                 TEXTS),
                       st.integers(0, 50)), max_size=4),
    st.one_of(st.floats(0, 1), st.just(1.0)))
ERRORS = st.builds(lambda cls, args: cls(*args),
                   st.sampled_from([ValueError, KeyError, RuntimeError, OSError, TimeoutError,
                                    Exception]),
                   st.lists(st.one_of(TEXTS, INTS), max_size=2))

# --- values --------------------------------------------------------------------------------

# What the JSON encoder accepts (with JSONDumper's substitutions).
JSON_SCALARS = st.one_of(
    st.none(), st.booleans(), INTS, FLOATS, TEXTS, DATETIMES, RESULTS, COUNTERS, ERRORS,
    st.sampled_from(list(Level) + list(Share) + list(Word) + [Passed, Failed]),
    st.builds(SubInt, INTS), st.builds(SubFloat, FLOATS), st.builds(SubStr, TEXTS),
)
JSON_KEYS = st.one_of(TEXTS, INTS, st.floats(), st.booleans(), st.none(), st.just(Level.LOW),
                      st.builds(SubInt, INTS), st.builds(SubStr, TEXTS))
# Values and keys the JSON encoder refuses.
BAD_JSON_VALUES = st.one_of(
    st.sets(st.integers(), max_size=2), st.dates(), st.builds(object),
    st.just(ValueError()), st.just({(1,): 1}), st.just({b"k": 1}),
)

SCALARS = st.one_of(
    JSON_SCALARS,
    st.dates(), st.times(), st.timedeltas(), st.decimals(allow_nan=True), st.complex_numbers(),
    st.binary(max_size=120), st.binary(max_size=8).map(bytearray),
    st.sampled_from(list(Colour) + [int, str, Colour, SubSection]),
    st.builds(Opaque, st.sampled_from(["<opaque>", "yes", "a: b", "multi\nline  \n", "\u00e9"])),
    st.builds(lambda i: SubSection(id=i, seq_num=0), TEXTS),
)
KEYS = st.one_of(
    JSON_KEYS,
    st.sampled_from([Colour.RED, Word.YES, int, "k" * 127, "k" * 128, "k" * 129, "a\nb", "",
                     (), (1, "a")]),
    st.tuples(st.integers(), TEXTS), st.dates(), st.binary(max_size=10),
)


def containers(children, keys=KEYS, sets=True):
    """Lists, tuples, mappings (plain, AttrDict, subclassed) of `children`; sets too if asked."""
    kinds = [
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.lists(children, max_size=2).map(SubList),
        st.lists(children, max_size=3).map(SubTuple),
        st.dictionaries(keys, children, max_size=4),
        st.dictionaries(TEXTS, children, max_size=3).map(AttrDict),
        st.dictionaries(TEXTS, children, max_size=2).map(lambda d: AttrDict(inner=AttrDict(d))),
        st.dictionaries(keys, children, max_size=3).map(SubDict),
        # one object held in several places is not a cycle
        children.map(lambda v: [v, v]),
        children.map(lambda v: {"a": v, "b": [v]}),
        st.dictionaries(TEXTS, children, max_size=2).map(lambda d: [d, {"again": d}, (d,)]),
    ]
    if sets:
        kinds += [st.sets(keys, max_size=4), st.frozensets(st.integers(), max_size=3)]
    return st.one_of(kinds)


VALUES = st.recursive(SCALARS, containers, max_leaves=12)
JSON_VALUES = st.recursive(JSON_SCALARS, lambda ch: containers(ch, JSON_KEYS, sets=False),
                           max_leaves=12)


def nested(value, shape):
    """`value` pushed down through lists (True) and mappings (False), so its column moves."""
    for kind in shape:
        value = [value] if kind else {"key": value}
    return value


# --- report trees --------------------------------------------------------------------------

# Keys `update` cannot take as free data without failing or replacing the tree's structure.
_STRUCTURAL = {"fullid", "idlist", "extra", "sections", "tasks"}


def node_data(values=VALUES, keys=KEYS):
    """Named data for `update`: listed attributes of every node class and free keys."""
    listed = st.fixed_dictionaries({}, optional={
        "description": TEXTS, "runtime": FLOATS, "starttime": DATETIMES, "stoptime": DATETIMES,
        "details": st.lists(values, max_size=3), "extra": st.dictionaries(keys, values, max_size=4),
        "parameters": values, "result": st.one_of(RESULTS, st.none(), values), "name": keys,
        "logs": st.dictionaries(st.sampled_from(["file", "begin", "size"]), st.integers()),
        "summary": st.one_of(COUNTERS, values), "host": TEXTS, "testscript": TEXTS,
        "xref": values, "elsewhere": values,
    })
    free = st.dictionaries(TEXTS.filter(lambda k: k not in _STRUCTURAL), values, max_size=2)
    return st.builds(lambda more, fixed: {**more, **fixed}, free, listed)


def attempt(fn):
    # Roll-ups over generated data may fail half-way; the tree is written whatever state it has.
    try:
        fn()
    except (TypeError, AttributeError):
        pass


@st.composite
def trees(draw, values=VALUES, keys=KEYS):
    """A campaign with tasks (some subclassed), job and task plugins and nested sections,
    each given data through one or two updates, some of them rolled up or stopped."""
    data = node_data(values, keys)

    def give(node):
        for _ in range(draw(st.integers(1, 2))):
            node.update(draw(data))
        return node

    def fill(parent, depth):
        for i in range(draw(st.integers(0, 2 if depth < 3 else 0))):
            fill(give(parent.add_section(id=draw(keys), seq_num=i)), depth + 1)

    root = give(c.Campaign(id=draw(TEXTS), seq_num=draw(INTS)))
    for i in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["task", "plugin", "subtask"]))
        if kind == "task":
            task = give(root.add_task(id=draw(st.one_of(TEXTS, INTS)), seq_num=i))
            for j in range(draw(st.integers(0, 3))):
                add = task.add_plugin if draw(st.booleans()) else task.add_section
                fill(give(add(id=draw(TEXTS), seq_num=j)), 2)
            if draw(st.booleans()):
                attempt(task.roll_up)
        elif kind == "plugin":
            fill(give(root.add_plugin(id=draw(TEXTS), seq_num=i)), 2)
        else:
            root.tasks.append(SubTask(id=draw(TEXTS), seq_num=i, parent=root))
    if draw(st.booleans()):
        attempt(lambda: root.stop(num_tasks=draw(st.integers(0, 5))))
    return root


def json_trees():
    """Report trees holding only values the JSON encoder accepts."""
    return trees(JSON_VALUES, JSON_KEYS)
