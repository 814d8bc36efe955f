"""A straightforward Python rendering of the report model's rules, used as the oracle
of the differential tests: the native classes must behave the same on any call sequence."""

import os

from korvo.results import Passed, ResultCounter

BASE = ["type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime"]


def merge(a, b):
    for k, v in b.items():
        cur = a.get(k)
        if isinstance(cur, dict) and isinstance(v, dict):
            merge(cur, v)
        elif isinstance(cur, list) and isinstance(v, list):
            cur.extend(v)
        else:
            a[k] = v


class Node:
    ARG = BASE + ["details", "extra"]

    def __init__(self, clock, id, seq_num, parent=None, type=None):
        self._clock = clock
        self.type = type or self.__class__.__name__
        self.id = id
        self.seq_num = seq_num
        self._parent = parent
        self.name = id
        self.starttime = self.stoptime = self.runtime = None
        self.details = []
        self.extra = {}

    @property
    def fullid(self):
        p = self._parent
        if p is None or isinstance(p, Campaign):
            return self.id
        return "%s.%s" % (p.fullid, self.id)

    @property
    def idlist(self):
        p = self._parent
        if p is None or isinstance(p, Campaign):
            return [self.id]
        return p.idlist + [self.id]

    def start(self, **kw):
        self.starttime = self._clock()
        self.update(kw)

    def stop(self, **kw):
        if self.starttime is not None:
            self.stoptime = self._clock()
            self.runtime = (self.stoptime - self.starttime).total_seconds()
        self.update(kw)
        self.roll_up()

    def update(self, data):
        extras = {}
        for k, v in data.items():
            if k in self.ARG:
                cur = getattr(self, k, None)
                if isinstance(cur, list):
                    cur.extend(v) if isinstance(v, list) else cur.append(v)
                else:
                    setattr(self, k, v)
            else:
                extras[k] = v
        merge(self.extra, extras)

    def add_detail(self, detail):
        self.details.append(detail)

    def roll_up(self):
        p = self._parent
        r = getattr(self, "result", None)
        if p is None or r is None or not hasattr(p, "result"):
            return
        p.result = r.clone() if p.result is None else p.result + r
        p.roll_up()

    def _child(self, cls, listname, kw):
        child = cls(self._clock, parent=self, **kw)
        getattr(self, listname).append(child)
        return child


def _size(path):
    return os.stat(path).st_size


class Section(Node):
    ARG = BASE + ["description", "xref", "logs", "parameters", "result", "details", "extra",
                  "sections"]

    def __init__(self, clock, **kw):
        super().__init__(clock, **kw)
        self.result = None
        self.sections = []
        self.logfile = None
        self.logs = {}

    def start(self, **kw):
        self.logfile = kw.pop("logfile", None)
        super().start(**kw)
        if self.logfile:
            self.logs["file"] = os.path.basename(self.logfile)
            self.logs["begin"] = _size(self.logfile)

    def stop(self, **kw):
        super().stop(**kw)
        if self.logfile and self.logs:
            self.logs["size"] = _size(self.logfile) - self.logs["begin"]

    def add_section(self, **kw):
        return self._child(Section, "sections", kw)


class Plugin(Node):
    ARG = BASE + ["description", "logfile", "logs", "summary", "result", "details", "extra",
                  "sections"]

    def __init__(self, clock, **kw):
        super().__init__(clock, **kw)
        self.sections = []
        self.result = None
        self.summary = None
        self.logs = {}

    def start(self, **kw):
        super().start(**kw)
        if isinstance(self._parent, Campaign):
            self.summary = ResultCounter()
        if getattr(self, "logfile", None) and isinstance(self._parent, Task):
            self.logs["file"] = os.path.basename(self.logfile)
            self.logs["begin"] = _size(self.logfile)

    def stop(self, **kw):
        new = kw.pop("logfile", None)
        super().stop(**kw)
        if getattr(self, "logfile", None):
            if new and new != self.logfile:
                if self.logs:
                    self.logs = {"file": os.path.basename(new), "begin": 0, "size": -1}
                self.logfile = os.path.basename(new)
            elif self.logs:
                self.logs["size"] = _size(self.logfile) - self.logs["begin"]
                self.logfile = os.path.basename(self.logfile)
        if self.result is None:
            self.result = Passed

    def roll_up(self):
        if self.sections:
            self.summary = ResultCounter()
        for r in [s.result for s in self.sections if s.result is not None]:
            key = str(r).lower()
            self.summary[key] = self.summary[key] + 1

    def add_section(self, **kw):
        return self._child(Section, "sections", kw)


class Task(Node):
    ARG = BASE + ["description", "logfile", "testscript", "parameters", "summary",
                  "pluginsummary", "details", "extra", "sections"]

    def __init__(self, clock, **kw):
        super().__init__(clock, **kw)
        self.logfile = None
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        self.sections = []

    def stop(self, **kw):
        super().stop(**kw)
        if self.logfile:
            self.logfile = os.path.basename(self.logfile)

    def roll_up(self):
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        for child in self.sections:
            if isinstance(child, Plugin):
                if child.summary is not None:
                    for k, c in child.summary.items():
                        self.pluginsummary[k] = self.pluginsummary[k] + c
            elif child.result is not None:
                key = str(child.result).lower()
                self.summary[key] = self.summary[key] + 1

    def add_section(self, **kw):
        return self._child(Section, "sections", kw)

    def add_plugin(self, **kw):
        return self._child(Plugin, "sections", kw)


class Campaign(Node):
    ARG = BASE + ["cli", "jobfile", "korvopath", "korvoversion", "host", "submitter",
                  "archivefile", "summary", "pluginsummary", "details", "extra", "totaltasks",
                  "tasks"]

    def __init__(self, clock, **kw):
        super().__init__(clock, **kw)
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        self.totaltasks = 0
        self.tasks = []

    def stop(self, **kw):
        n = kw.pop("num_tasks", 0)
        super().stop(**kw)
        self.totaltasks = n
        if n > 0:
            run = [t for t in self.tasks if t.starttime is not None and not isinstance(t, Plugin)]
            self.summary.weight = len(run) / n

    def roll_up(self):
        self.summary = ResultCounter()
        self.pluginsummary = ResultCounter()
        for entry in self.tasks:
            plugin = isinstance(entry, Plugin)
            if plugin and entry.summary is None:
                continue
            target = self.pluginsummary if plugin else self.summary
            for k, c in entry.summary.items():
                target[k] = target[k] + c

    def add_task(self, **kw):
        return self._child(Task, "tasks", kw)

    def add_plugin(self, **kw):
        return self._child(Plugin, "tasks", kw)
