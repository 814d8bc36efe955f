"""Odd kinds of value a report may carry: enums, subclasses of built-in types, a node subclass.

The subclasses of int and float give a repr of their own, so a writer that printed them
through the base type's repr instead of the value's own rules shows up."""

import enum

from korvo.reporter import campaign as c
from korvo.results import ResultCounter


class Colour(enum.Enum):
    RED = 1
    MULTI = "a\nb"


class Level(enum.IntEnum):
    LOW = -3
    HIGH = 2 ** 70


class Share(float, enum.Enum):
    THIRD = 1 / 3


class Word(str, enum.Enum):
    YES = "yes"
    ODD = "\u00e9\n"
    WIDE = "\u00e9\U0001f600"


class SubInt(int):
    def __repr__(self):
        return "not-this"


class SubFloat(float):
    def __repr__(self):
        return "not-this"


class SubStr(str):
    pass


class SubList(list):
    pass


class SubTuple(tuple):
    pass


class SubDict(dict):
    pass


class SubSection(c.Section):
    pass


class SubTask(c.Task):
    pass


class Opaque:
    """An object the writers know nothing about, with a chosen repr."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


def make_counter(counts, weight=1.0):
    counter = ResultCounter()
    for key, count in counts:
        counter[key] = count
    counter.weight = weight
    return counter
