"""Report trees for the export tests, built with the report model itself."""

import datetime

from korvo.reporter.campaign import Campaign

# Fixed times: 0.9 s apart across a second boundary, so the legacy run time is 1 s.
T0 = datetime.datetime(2024, 5, 6, 10, 0, 0, 900000)
T1 = datetime.datetime(2024, 5, 6, 10, 0, 1, 800000)
RUN = datetime.timedelta(seconds=1)


def timed(node, start=T0, stop=T1):
    node.starttime = start
    node.stoptime = stop
    return node


def job(id="job-1", **data):
    root = Campaign(id=id, seq_num=0)
    root.start(**data)
    return root


def finish(root, num_tasks=None):
    root.stop(num_tasks=num_tasks if num_tasks is not None else len(root.tasks))
    return timed(root)


def small_job():
    """A finished job of one task whose testcase holds one passed section."""
    from korvo.results import Passed

    root = job()
    t = task(root, "t1")
    section(section(t, "tc"), "sec", result=Passed)
    t.stop()
    return finish(root)


def task(root, id="t1", **data):
    node = root.add_task(id=id, seq_num=len(root.tasks))
    node.start(**data)
    return node


def section(parent, id, type=None, **data):
    """A started and stopped section below `parent`; `data` goes to stop()."""
    kwargs = {"type": type} if type else {}
    node = parent.add_section(id=id, seq_num=len(parent.sections), **kwargs)
    node.start()
    node.stop(**data)
    return timed(node)


def plain(**fields):
    """A bare node: just the fields given, over the ones every section must have."""
    import types

    base = {"starttime": T0, "stoptime": T1, "details": [], "extra": {}, "sections": []}
    base.update(fields)
    return types.SimpleNamespace(**base)


def timing_writes(path, start=T0, stop=T1, runtime=RUN):
    out = [("set", path + ".starttime", start), ("set", path + ".stoptime", stop)]
    if runtime is not None:
        out.append(("set", path + ".runtime", runtime))
    return out


def body_writes(path, holder=None, xref=("", -1), logs=("", -1, -1), result=None, details=()):
    """Cross-reference, log position, result and details writes of a record fill."""
    h = holder or path
    out = [
        ("set", h + ".xref.file", xref[0]),
        ("set", h + ".xref.line", xref[1]),
        ("set", h + ".logfile.filepath", logs[0]),
        ("item", h + ".logfile.attrs", "begin", logs[1]),
        ("item", h + ".logfile.attrs", "size", logs[2]),
    ]
    if result is not None:
        out.append(("set", path + ".result.value", result))
    out += [("call", path + ".runinfo.set_args", (), {"diag": d}) for d in details]
    return out


def extra_update(path, mapping):
    return ("call", path + ".extra.update", (mapping,), {})
