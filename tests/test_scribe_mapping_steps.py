"""Test cases, test sections and nested steps onto the legacy records."""

import pytest

from korvo.results import Failed, Passed
from support.report_trees import (RUN, T0, T1, body_writes, extra_update, plain, section, task, job,
                          timing_writes)


def test_step_with_every_field_and_a_nested_processor_step(scribe, fake, log):
    t = task(job())
    tc = section(t, "tc")
    ts = section(tc, "sec")
    step = section(ts, "s1", type="Step", description="d\x1b", xref={"file": "f.py", "line": 7},
                   result=Failed, details=["x\x01"],
                   extra={"index": 2, "continue_": False, "k": "\x1b", "index_": 1})
    child = section(step, "c1", type="StepProcessor")
    extra_before = dict(step.extra)

    out = scribe._handle_step(fake("S"), step)

    assert out._path == "S"
    assert log == (
        timing_writes("S")
        + [("set", "S.description", "d\\x1b")]
        + body_writes("S", xref=("f.py", 7), result="Failed", details=["x\\x01"])
        + [("set", "S.index", 2), ("set", "S.continue_", False),
           extra_update("S", {"k": "\\x1b", "index_": 1}),
           ("call", "S.add_teststep", (), {"id": "c1 c1", "name": "c1"})]
        + timing_writes("S/c1 c1")
        + [("set", "S/c1 c1.description", "")]
        + body_writes("S/c1 c1")
        + [extra_update("S/c1 c1", {})]
    )
    assert step.extra == extra_before  # the node's own mapping is left alone
    assert child.result is None


@pytest.mark.parametrize("description", [None, "", "absent"])
def test_step_without_description_gets_empty_text(scribe, fake, log, description):
    node = plain() if description == "absent" else plain(description=description)
    scribe._handle_step(fake("S"), node)
    assert ("set", "S.description", "") in log


def test_step_description_control_characters_are_escaped(scribe, fake, log):
    scribe._handle_step(fake("S"), plain(description="\x1b[31mred\x1b[0m\x00"))
    assert ("set", "S.description", "\\x1b[31mred\\x1b[0m\\x00") in log


def test_step_index_key_holding_none_still_moves(scribe, fake, log):
    scribe._handle_step(fake("S"), plain(extra={"index": None}))
    assert ("set", "S.index", None) in log
    assert extra_update("S", {}) in log


def test_steps_nest_depth_first_each_complete_before_its_sibling(scribe, fake, log):
    ts = section(section(task(job()), "tc"), "sec")
    a = section(ts, "a")
    b = section(a, "b")
    section(b, "c")
    section(ts, "d")
    scribe._handle_testsection(fake("T"), ts)
    created = [e[1] + "(" + e[3]["id"] + ")" for e in log if e[1].endswith("add_teststep")]
    assert created == ["T.add_teststep(a)", "T/a.add_teststep(b)", "T/a/b.add_teststep(c)",
                       "T.add_teststep(d)"]
    # c is filled before d is created
    c_fill = log.index(("set", "T/a/b/c.starttime", T0))
    d_add = [i for i, e in enumerate(log) if e[1] == "T.add_teststep" and e[3]["id"] == "d"][0]
    assert c_fill < d_add


def test_testcase_identity_versions_description_and_children(scribe, fake, log):
    t = task(job())
    tc = section(t, "tc1", type="Testcase", description="about\x07", result=Passed,
                 logs_unused=1)
    tc.logs = {"file": "x.log", "begin": 120, "size": 64}
    section(tc, 3, type="Processor", name="cleanup")
    section(tc, "plain")

    scribe._handle_testcase(fake("TC"), tc)

    assert log[:3] == timing_writes("TC")
    assert log[3:11] == [
        ("item", "TC.initinfo.id.attrs", "name", "tc1"),
        ("set", "TC.initinfo.id.idtypevalue", "tc1"),
        ("set", "TC.initinfo.name", "tc1"),
        ("set", "TC.initinfo.swversion", "None"),
        ("set", "TC.initinfo.hwversion", "None"),
        ("set", "TC.initinfo.fwversion", "None"),
        ("set", "TC.initinfo.tstversion", "None"),
        ("set", "TC.initinfo.description", "about\\x07"),
    ]
    rest = log[11:]
    assert rest[:7] == body_writes("TC", holder="TC.initinfo", logs=("x.log", 120, 64),
                                   result="Passed") + [extra_update("TC", {"logs_unused": 1})]
    adds = [e for e in rest if e[1] == "TC.add_testsection"]
    assert adds == [("call", "TC.add_testsection", (), {"sectionid": "3 cleanup"}),
                    ("call", "TC.add_testsection", (), {"sectionid": "plain"})]


def test_testcase_own_id_stays_plain_even_for_processor_type(scribe, fake, log):
    scribe._handle_testcase(fake("TC"), plain(id=5, name="n", type="XProcessor"))
    assert ("item", "TC.initinfo.id.attrs", "name", 5) in log
    assert ("set", "TC.initinfo.id.idtypevalue", 5) in log


def test_testsection_description_lands_in_extra_unless_extra_has_one(scribe, fake, log):
    scribe._handle_testsection(fake("T"), plain(description="d\x1b"))
    assert log[3] == ("item", "T.extra", "description", "d\\x1b")
    log.clear()
    scribe._handle_testsection(fake("U"), plain(description="d", extra={"description": "e\x02"}))
    assert log[-1] == extra_update("U", {"description": "e\\x02"})


def test_minimal_node_gets_defaults_and_no_result(scribe, fake, log):
    scribe._handle_testsection(fake("T"), plain())
    assert log == timing_writes("T") + body_writes("T") + [extra_update("T", {})]


def test_logs_with_only_file_gives_minus_one_positions(scribe, fake, log):
    scribe._handle_testsection(fake("T"), plain(logs={"file": "a.log"}, xref={"line": 3}))
    assert log[3:8] == body_writes("T", xref=("", 3), logs=("a.log", -1, -1))


def test_result_present_but_false_is_written(scribe, fake, log):
    scribe._handle_step(fake("S"), plain(result=0))
    assert ("set", "S.result.value", "0") in log


def test_null_stop_time_copies_both_times_and_no_runtime(scribe, fake, log):
    scribe._handle_step(fake("S"), plain(stoptime=None))
    assert log[:3] == timing_writes("S", stop=None, runtime=None) + [("set", "S.description", "")]


def test_same_second_gives_zero_runtime(scribe, fake, log):
    start = T0.replace(microsecond=50000)
    scribe._handle_step(fake("S"), plain(starttime=start, stoptime=T0))
    assert log[2] == ("set", "S.runtime", RUN * 0)


def test_missing_required_field_is_attribute_error(scribe, fake):
    node = plain()
    del node.details
    with pytest.raises(AttributeError):
        scribe._handle_testsection(fake("T"), node)
    with pytest.raises(AttributeError):
        scribe._handle_testsection(fake("T"), plain(sections=[plain(name="n")]))  # no type


def test_null_xref_fails_its_key_lookup(scribe, fake):
    with pytest.raises(AttributeError):
        scribe._handle_step(fake("S"), plain(xref=None))


def test_step_name_must_be_text(scribe, fake):
    with pytest.raises(TypeError):
        scribe._handle_testsection(fake("T"), plain(sections=[plain(id=1, name=1, type="S")]))


def test_deep_step_tree_raises_recursion_error(scribe, fake):
    root = cur = plain()
    for i in range(5000):
        nxt = plain(id="s%d" % i, name="s", type="Step")
        cur.sections.append(nxt)
        cur = nxt
    with pytest.raises(RecursionError):
        scribe._handle_step(fake("S"), root)


def test_cyclic_step_tree_raises_recursion_error(scribe, fake):
    node = plain(id="s", name="s", type="Step")
    node.sections.append(node)
    with pytest.raises(RecursionError):
        scribe._handle_step(fake("S"), node)


@pytest.mark.parametrize("method,names", [
    ("_handle_testcase", ("kytc", "testcase")),
    ("_handle_testsection", ("kytest", "testsection")),
    ("_handle_step", ("kystep", "step")),
])
def test_handler_arguments(scribe, fake, log, method, names):
    handler = getattr(scribe, method)
    ky = fake("K")
    assert handler(**{names[0]: ky, names[1]: plain(id="i", name="n")}) is ky
    log.clear()
    with pytest.raises(TypeError):
        handler(ky)
    with pytest.raises(TypeError):
        handler(ky, plain(), None)
    with pytest.raises(TypeError):
        handler(ky, node=plain())
    assert log == []
