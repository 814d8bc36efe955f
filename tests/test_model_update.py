"""Lifecycle timing and the routing of named data into attributes or extra."""

import datetime

import pytest

from korvo.datastructures import AttrDict
from korvo.reporter import campaign
from korvo.reporter.campaign import Campaign, ReportObjectBase, Section, Task
from korvo.results import Failed


def test_fake_clock_drives_start_stop_and_runtime(clock):
    s = Section(id="s", seq_num=1)
    s.start()
    s.stop()
    assert s.starttime == datetime.datetime(2024, 5, 1, 10, 0, 0)
    assert s.stoptime == datetime.datetime(2024, 5, 1, 10, 0, 1, 500000)
    assert type(s.runtime) is float and s.runtime == 1.5
    s.start()  # a second start overwrites starttime, keeps the stop values
    assert s.starttime == datetime.datetime(2024, 5, 1, 10, 0, 3)
    assert clock.calls == 3


def test_runtime_keeps_sub_second_fraction(monkeypatch):
    times = iter([datetime.datetime(2024, 1, 1, 0, 0, 0, 1),
                  datetime.datetime(2024, 1, 2, 0, 0, 1, 234568)])
    monkeypatch.setattr(campaign, "get_time", lambda: next(times))
    s = Section(id="s", seq_num=1)
    s.start()
    s.stop()
    assert s.runtime == 86401.234567


def test_stop_without_start_records_no_times_but_updates_and_rolls_up(clock):
    parent = Section(id="p", seq_num=1)
    s = parent.add_section(id="s", seq_num=1)
    s.stop(result=Failed, note="late")
    assert (s.stoptime, s.runtime, clock.calls) == (None, None, 0)
    assert s.extra == {"note": "late"} and parent.result == Failed


def test_stop_arguments_override_computed_times(clock):
    s = Section(id="s", seq_num=1)
    s.start()
    s.stop(runtime=99)
    assert s.runtime == 99


def test_listed_keys_become_attributes_others_merge_into_extra():
    t = Task(id="t", seq_num=1)
    t.update({"description": "d", "colour": "red", "nested": {"a": 1}})
    t.update({"nested": {"b": 2}})
    assert t.description == "d"
    assert t.extra == {"colour": "red", "nested": {"a": 1, "b": 2}}
    base = ReportObjectBase("b", 1)
    base.update({"description": "d"})
    assert base.extra == {"description": "d"} and not hasattr(base, "description")


def test_list_attributes_are_extended_in_place():
    s = Section(id="s", seq_num=1)
    details = s.details
    s.update({"details": ["a", "b"]})
    s.update({"details": "c"})
    s.update({"details": ("d",)})
    assert details is s.details and details == ["a", "b", "c", ("d",)]


def test_values_are_stored_by_reference():
    shared = {"k": [1]}
    params = [1, 2]
    a = Task(id="a", seq_num=1)
    b = Task(id="b", seq_num=2)
    a.start(parameters=shared, tags=params)
    b.start(parameters=shared, tags=params)
    assert a.parameters is shared and b.parameters is shared
    assert a.extra["tags"] is params and b.extra["tags"] is params
    params.append(3)
    assert b.extra["tags"] == [1, 2, 3]


def test_extra_key_replaces_whole_mapping():
    s = Section(id="s", seq_num=1)
    s.update({"a": 1})
    replacement = AttrDict(b=2)
    s.update({"extra": replacement})
    assert s.extra is replacement
    s.update({"c": 3})
    assert s.extra == {"b": 2, "c": 3} and isinstance(s.extra, AttrDict)


def test_update_rejects_non_mapping_before_storing_anything():
    s = Section(id="s", seq_num=1)
    for bad in ([("name", "x")], "name", None, 3):
        with pytest.raises(TypeError):
            s.update(bad)
    assert s.name == "s" and s.extra == {}


def test_update_accepts_any_mapping_kind():
    s = Section(id="s", seq_num=1)
    s.update(AttrDict(name="n", other=1))
    assert s.name == "n" and s.extra == {"other": 1}


def test_fullid_key_fails_after_earlier_keys_and_skips_extra():
    s = Section(id="s", seq_num=1)
    with pytest.raises(AttributeError):
        s.update({"name": "n", "fullid": "x", "colour": "red"})
    assert s.name == "n" and s.extra == {}


def test_idlist_key_changes_nothing():
    s = Section(id="s", seq_num=1)
    s.update({"idlist": ["x"]})
    assert s.idlist == ["s"] and s.extra == {}


def test_update_extra_failure_propagates():
    s = Section(id="s", seq_num=1)
    s.update({"extra": 5})
    with pytest.raises((TypeError, AttributeError)):
        s.update({"anything": 1})


def test_add_detail_appends_one_element():
    s = Section(id="s", seq_num=1)
    s.add_detail(["a", "b"])
    s.add_detail("c")
    assert s.details == [["a", "b"], "c"]


def test_update_override_is_called_by_start():
    calls = []

    class Recording(Section):
        def update(self, data):
            calls.append(dict(data))
            super().update(data)

    s = Recording(id="s", seq_num=1)
    s.start(description="d", other=1)
    assert calls == [{"description": "d", "other": 1}]
    assert s.description == "d" and s.extra == {"other": 1}


def test_campaign_descriptive_data_become_attributes():
    job = Campaign(id="job", seq_num=0)
    assert not hasattr(job, "cli")
    job.start(cli="run job.py", host="h1", testbed="tb")
    assert (job.cli, job.host) == ("run job.py", "h1")
    assert job.extra == {"testbed": "tb"}
