"""Stand-in of the harness's result values and result counters.

Result values are ordered by severity; adding two results gives the more
severe one (``Passed + Failed`` is ``Failed``), the operands unchanged.
"""

__all__ = [
    "TestResult", "ResultCounter",
    "Passed", "Passx", "Skipped", "Blocked", "Failed", "Aborted", "Errored",
]


class TestResult:
    """One result value: a code naming the result, with optional reason and data.

    ``str(result)`` is the capitalised name ("Passed"); ``value`` is its
    lower-case code ("passed").
    """

    __slots__ = ("name", "severity", "reason", "data")

    def __init__(self, name, severity, reason=None, data=None):
        self.name = name
        self.severity = severity
        self.reason = reason
        self.data = data

    @property
    def value(self):
        return self.name.lower()

    def clone(self, reason=None, data=None):
        """A distinct result equal in value, optionally with a new reason and data."""
        return TestResult(self.name, self.severity,
                          self.reason if reason is None else reason,
                          self.data if data is None else data)

    def __add__(self, other):
        if other is None:
            return self.clone()
        if not isinstance(other, TestResult):
            return NotImplemented
        worse = other if other.severity > self.severity else self
        return worse.clone()

    __radd__ = __add__

    def __eq__(self, other):
        if isinstance(other, TestResult):
            return self.name == other.name
        if isinstance(other, str):
            return self.value == other.lower()
        return NotImplemented

    def __hash__(self):
        return hash(self.name)

    def __str__(self):
        return self.name

    def __repr__(self):
        return "TestResult(%r)" % self.name


Passed = TestResult("Passed", 0)
Passx = TestResult("Passx", 1)
Skipped = TestResult("Skipped", 2)
Blocked = TestResult("Blocked", 3)
Failed = TestResult("Failed", 4)
Aborted = TestResult("Aborted", 5)
Errored = TestResult("Errored", 6)

# Results that count as a success in success_rate.
_SUCCESS_KEYS = ("passed", "passx")


class ResultCounter:
    """Counts of results by lower-case result name.

    Not a mapping subclass, but it behaves like one for reading: indexing a
    key never counted reads 0. A counter compares equal to any mapping (or
    counter) holding the same counts, so an empty counter equals ``{}``.

    ``weight`` (default 1.0) scales ``success_rate``: a job whose announced
    tasks did not all run gets a proportionally lower rate.
    """

    __hash__ = None

    def __init__(self):
        self.data = {}
        self.weight = 1.0

    def __getitem__(self, key):
        return self.data.get(key, 0)

    def __setitem__(self, key, count):
        self.data[key] = count

    def __contains__(self, key):
        return key in self.data

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)

    def keys(self):
        return self.data.keys()

    def items(self):
        return self.data.items()

    @property
    def total(self):
        return sum(self.data.values())

    @property
    def success_rate(self):
        total = self.total
        if not total:
            return 0.0
        ok = sum(self.data.get(key, 0) for key in _SUCCESS_KEYS)
        return 100.0 * ok / total * self.weight

    def __eq__(self, other):
        if isinstance(other, ResultCounter):
            return self.data == other.data
        if isinstance(other, dict):
            return self.data == other
        return NotImplemented

    def __repr__(self):
        return "ResultCounter(%r)" % (self.data,)
