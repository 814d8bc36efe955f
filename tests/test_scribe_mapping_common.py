"""Common setups and cleanups: common sections, subsections and their steps."""

import pytest

from korvo.results import Failed
from support.report_trees import body_writes, extra_update, job, plain, section, task, timing_writes


def test_common_setup_with_subsections_and_steps(scribe, fake, log):
    t = task(job())
    cs = section(t, "common_setup", type="CommonSetup", description="set\x1bup",
                 details=["one", "two"], flag=1)
    sub = section(cs, 3, type="SubsectionProcessor", name="cleanup", xref={"file": "s.py"})
    step = section(sub, "st", type="Step", result=Failed)
    section(cs, "second", type="CommonSetup")

    scribe._handle_commonsection(fake("CS"), cs)

    assert log == (
        timing_writes("CS")
        + [("item", "CS.extra", "description", "set\\x1bup")]
        + body_writes("CS", result="Failed", details=["one", "two"])
        + [extra_update("CS", {"flag": 1}),
           ("call", "CS.add_commonsubsection", (), {"name": "cleanup"})]
        + timing_writes("CS/cleanup")
        + [("item", "CS/cleanup.id.attrs", "name", "3 cleanup"),
           ("set", "CS/cleanup.id.idtypevalue", "3 cleanup"),
           ("set", "CS/cleanup.name", "cleanup")]
        + body_writes("CS/cleanup", xref=("s.py", -1), result="Failed")
        + [extra_update("CS/cleanup", {}),
           ("call", "CS/cleanup.add_teststep", (), {"id": "st", "name": "st"})]
        + timing_writes("CS/cleanup/st")
        + [("set", "CS/cleanup/st.description", "")]
        + body_writes("CS/cleanup/st", result="Failed")
        + [extra_update("CS/cleanup/st", {}),
           ("call", "CS.add_commonsubsection", (), {"name": "second"})]
        + timing_writes("CS/second")
        + [("item", "CS/second.id.attrs", "name", "second"),
           ("set", "CS/second.id.idtypevalue", "second"),
           ("set", "CS/second.name", "second")]
        + body_writes("CS/second")
        + [extra_update("CS/second", {})]
    )
    assert step.result is Failed or str(step.result) == "Failed"


def test_common_section_extra_description_wins(scribe, fake, log):
    scribe._handle_commonsection(fake("CS"), plain(description="mine",
                                                   extra={"description": "\x1bextra"}))
    assert log[3] == ("item", "CS.extra", "description", "mine")
    assert log[-1] == extra_update("CS", {"description": "\\x1bextra"})


def test_subsection_plain_id_is_not_converted(scribe, fake, log):
    scribe._handle_subsection(fake("SS"), plain(id=7, name="n", type="Subsection",
                                                description="about"))
    assert log[3:7] == [("item", "SS.id.attrs", "name", 7), ("set", "SS.id.idtypevalue", 7),
                        ("set", "SS.name", "n"), ("set", "SS.description", "about")]


def test_subsection_name_is_escaped_like_descriptions(scribe, fake, log):
    # Names are identifiers the legacy services match on: plain ones go over unchanged, and
    # one the document cannot carry is escaped rather than making the whole file unreadable.
    child = plain(id="x", name="odd\x1bname", type="Subsection")
    scribe._handle_commonsection(fake("CS"), plain(sections=[child]))
    assert ("call", "CS.add_commonsubsection", (), {"name": "odd\\x1bname"}) in log
    assert ("set", "CS/odd\\x1bname.name", "odd\\x1bname") in log


def test_non_text_subsection_name_passes_unchanged(scribe, fake, log):
    scribe._handle_commonsection(fake("CS"), plain(sections=[plain(id=4, name=4, type="S")]))
    assert ("call", "CS.add_commonsubsection", (), {"name": 4}) in log


def test_empty_details_and_sections_make_no_calls(scribe, fake, log):
    scribe._handle_commonsection(fake("CS"), plain())
    assert [e for e in log if e[0] == "call"] == [extra_update("CS", {})]


@pytest.mark.parametrize("method,names", [
    ("_handle_commonsection", ("kycommsect", "commonsection")),
    ("_handle_subsection", ("kysubsect", "subsection")),
])
def test_handler_arguments(scribe, fake, log, method, names):
    handler = getattr(scribe, method)
    ky = fake("K")
    assert handler(**{names[0]: ky, names[1]: plain(id="i", name="n", type="t")}) is ky
    log.clear()
    with pytest.raises(TypeError):
        handler(ky)
    with pytest.raises(TypeError):
        handler(ky, plain(), plain())
    assert log == []
