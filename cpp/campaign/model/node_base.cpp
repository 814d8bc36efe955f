// ReportObjectBase: identity, paths, timing, data routing and the result roll-up.
#include <Python.h>

#include <algorithm>

#include "campaign/model/id_chain.hpp"
#include "campaign/model/id_text.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/merge.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/node.hpp"
#include "campaign/model/observer.hpp"
#include "campaign/model/parent_chain.hpp"
#include "common/iso_datetime.hpp"
#include "common/iteration.hpp"

namespace korvo::campaign {

namespace {

nb::object instance_dict(PyObject* self) {
    return check(PyObject_GenericGetDict(self, nullptr));
}

void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    check_status(PyDict_SetItem(dict, key, value));
}

bool is_top_level(PyObject* parent) {
    return parent == Py_None || is_instance_of_global(parent, interned.Campaign);
}

// The run time in seconds: stoptime - starttime as a float, fraction kept.
nb::object seconds_between(PyObject* start, PyObject* stop) {
    nb::object delta = check(PyNumber_Subtract(stop, start));
    long long us = 0;
    if (timedelta_microseconds(delta.ptr(), us)) return check(PyFloat_FromDouble((double)us / 1e6));
    return check(PyObject_CallMethodNoArgs(delta.ptr(), interned.total_seconds));
}

// list.append, or the holder's own append for anything else.
void append_to(PyObject* list, PyObject* item) {
    if (PyList_CheckExact(list)) return check_status(PyList_Append(list, item));
    check(PyObject_CallMethodOneArg(list, interned.append, item));
}

} // namespace

void init_base(PyObject* self, PyObject* id, PyObject* seq_num, PyObject* parent, PyObject* type) {
    nb::object dict = instance_dict(self);
    PyObject* d = dict.ptr();
    nb::object node_type;
    if (type && truthy(type)) {
        node_type = nb::borrow(type);
    } else {
        node_type = get_attr((PyObject*)Py_TYPE(self), interned.__name__);
    }
    dict_set(d, interned.type, node_type.ptr());
    dict_set(d, interned.id, id);
    dict_set(d, interned.seq_num, seq_num);
    dict_set(d, interned._parent, parent ? parent : Py_None);
    dict_set(d, interned.name, id);
    dict_set(d, interned.starttime, Py_None);
    dict_set(d, interned.stoptime, Py_None);
    dict_set(d, interned.runtime, Py_None);
    dict_set(d, interned.details, check(PyList_New(0)).ptr());
    dict_set(d, interned.extra, check(PyDict_New()).ptr());
}

nb::object fullid(PyObject* self) {
    IdChain chain;
    if (quick_paths_apply() && chain.walk(self) && chain.text()) {
        PyObject* outermost_first[IdChain::kMaxLength];
        std::reverse_copy(chain.ids(), chain.ids() + chain.size(), outermost_first);
        return join_text_ids(outermost_first, chain.size());
    }
    // A foreign parent answers for itself and may come back here.
    RecursionGuard guard(" while computing fullid");
    nb::object parent = parent_of(self);
    nb::object own_id = get_attr(self, interned.id);
    if (is_top_level(parent.ptr())) return own_id;
    // Walk up our own nodes iteratively, holding each: str(id) may run Python that unlinks it.
    nb::object parts = check(PyList_New(0));
    check_status(PyList_Append(parts.ptr(), check(PyObject_Str(own_id.ptr())).ptr()));
    CycleCheck cycle;
    cycle.visit(self);
    nb::object node = std::move(parent);
    while (true) {
        cycle.visit(node.ptr());
        if (!is_node(node.ptr())) {
            nb::object text = check(PyObject_Str(get_attr(node.ptr(), interned.fullid).ptr()));
            check_status(PyList_Append(parts.ptr(), text.ptr()));
            break;
        }
        nb::object id = get_attr(node.ptr(), interned.id);
        check_status(PyList_Append(parts.ptr(), check(PyObject_Str(id.ptr())).ptr()));
        nb::object up = parent_of(node.ptr());
        if (is_top_level(up.ptr())) break;
        node = std::move(up);
    }
    check_status(PyList_Reverse(parts.ptr()));
    nb::object dot = check(PyUnicode_FromString("."));
    return check(PyUnicode_Join(dot.ptr(), parts.ptr()));
}

nb::object idlist(PyObject* self) {
    IdChain chain;
    if (quick_paths_apply() && chain.walk(self)) {
        Py_ssize_t n = Py_ssize_t(chain.size());
        nb::object out = check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* id = chain.ids()[n - 1 - i];
            Py_INCREF(id);
            PyList_SET_ITEM(out.ptr(), i, id);
        }
        return out;
    }
    RecursionGuard guard(" while computing idlist");
    nb::object ids = check(PyList_New(0));
    nb::object node = nb::borrow(self);
    CycleCheck cycle;
    while (true) {
        cycle.visit(node.ptr());
        check_status(PyList_Append(ids.ptr(), get_attr(node.ptr(), interned.id).ptr()));
        nb::object up = parent_of(node.ptr());
        if (is_top_level(up.ptr())) break;
        if (!is_node(up.ptr())) {
            nb::object upper = get_attr(up.ptr(), interned.idlist);
            check_status(PyList_Reverse(ids.ptr()));
            nb::object joined = check(PySequence_List(upper.ptr()));
            check_status(PyList_SetSlice(joined.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, ids.ptr()));
            return joined;
        }
        node = std::move(up);
    }
    check_status(PyList_Reverse(ids.ptr()));
    return ids;
}

void base_start(PyObject* self, PyObject* kwargs) {
    nb::object now = check(PyObject_CallNoArgs(module_global(interned.get_time).ptr()));
    set_attr(self, interned.starttime, now.ptr());
    call_update(self, kwargs);
}

void base_stop(PyObject* self, PyObject* kwargs) {
    nb::object start = attr_or_none(self, interned.starttime);
    if (!start.is_none()) {
        nb::object now = check(PyObject_CallNoArgs(module_global(interned.get_time).ptr()));
        set_attr(self, interned.stoptime, now.ptr());
        set_attr(self, interned.runtime, seconds_between(start.ptr(), now.ptr()).ptr());
    }
    try {
        call_update(self, kwargs);
        call_roll_up(self);
    } catch (...) {
        // A stop whose update or roll-up fails has still ended the node (its times are set):
        // observers hear of it, so a journal rebuilds the node as the live tree left it.
        report_stopped(self);
        throw;
    }
    report_stopped(self);
}

namespace {

void route_pair(PyObject* self, PyObject* arg_order, PyObject* extras, PyObject* key,
                PyObject* value) {
    int listed = PySequence_Contains(arg_order, key);
    check_status(listed);
    if (!listed) {
        check_status(PyDict_SetItem(extras, key, value));
        return;
    }
    nb::object current = optional_attr(self, key);
    if (current && PyList_Check(current.ptr())) {
        report_changed(self, key);
        if (PyList_Check(value)) {
            Py_ssize_t end = PyList_GET_SIZE(current.ptr());
            check_status(PyList_SetSlice(current.ptr(), end, end, value));
        } else {
            check_status(PyList_Append(current.ptr(), value));
        }
    } else {
        set_attr(self, key, value);
    }
}

} // namespace

void base_update(PyObject* self, PyObject* data) {
    if (!PyDict_Check(data) && !is_mapping(data)) {
        PyErr_Format(PyExc_TypeError, "update() argument must be a mapping, not %.200s",
                     Py_TYPE(data)->tp_name);
        throw nb::python_error();
    }
    nb::object arg_order = get_attr(self, interned._ARG_ORDER);
    nb::object extras = check(PyDict_New());
    if (PyDict_CheckExact(data)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(data);
        PyObject *k, *v;
        while (PyDict_Next(data, &pos, &k, &v)) {
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            route_pair(self, arg_order.ptr(), extras.ptr(), key.ptr(), value.ptr());
            if (PyDict_GET_SIZE(data) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
    } else {
        for_each_pair(data, [&](PyObject* key, PyObject* value) {
            route_pair(self, arg_order.ptr(), extras.ptr(), key, value);
        });
    }
    call_update_extra(self, extras.ptr());
}

void base_update_extra(PyObject* self, PyObject* data) {
    nb::object extra = get_attr(self, interned.extra);
    if (!PyDict_Check(data) || PyDict_GET_SIZE(data) != 0) report_changed(self, interned.extra);
    recursive_update(extra.ptr(), data);
}

void base_add_detail(PyObject* self, PyObject* detail) {
    nb::object details = get_attr(self, interned.details);
    report_changed(self, interned.details);
    append_to(details.ptr(), detail);
}

void base_roll_up(PyObject* self) {
    // Climbs iteratively while the parent is one of our plain sections, so deep nesting
    // never deepens the C stack; any other parent gets its own roll_up called (which, for
    // a subclass, may come back here).
    RecursionGuard guard(" in roll_up");
    nb::object node = nb::borrow(self);
    CycleCheck cycle;
    while (true) {
        cycle.visit(node.ptr());
        // Held: clone() and __add__ may run Python that drops the last other reference.
        nb::object parent = parent_of(node.ptr());
        if (parent.is_none()) return;
        nb::object result = attr_or_none(node.ptr(), interned.result);
        if (result.is_none()) return;
        // A parent without a readable result takes no result.
        nb::object parent_result = readable_attr(parent.ptr(), interned.result);
        if (!parent_result) return;
        nb::object combined = parent_result.is_none()
                                  ? check(PyObject_CallMethodNoArgs(result.ptr(), interned.clone))
                                  : check(PyNumber_Add(parent_result.ptr(), result.ptr()));
        set_attr(parent.ptr(), interned.result, combined.ptr());
        NodeKind kind = native_kind(parent.ptr(), Method::RollUp);
        if (kind != NodeKind::Section && kind != NodeKind::Base) {
            call_roll_up(parent.ptr());
            return;
        }
        node = std::move(parent);
    }
}

nb::object add_child(PyObject* self, PyObject* list_name, PyObject* class_name, PyObject* kwargs,
                     const char* method) {
    int given = PyDict_Contains(kwargs, interned.parent);
    check_status(given);
    if (given) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument 'parent'",
                     method);
        throw nb::python_error();
    }
    check_status(PyDict_SetItem(kwargs, interned.parent, self));
    nb::object cls = module_global(class_name);
    nb::object empty = check(PyTuple_New(0));
    nb::object child = check(PyObject_Call(cls.ptr(), empty.ptr(), kwargs));
    nb::object children = get_attr(self, list_name);
    append_to(children.ptr(), child.ptr());
    report_added(self, list_name, child.ptr());
    return child;
}

void call_roll_up(PyObject* node) {
    switch (native_kind(node, Method::RollUp)) {
    case NodeKind::Base:
    case NodeKind::Section:
        return base_roll_up(node);
    case NodeKind::Campaign:
        return campaign_roll_up(node);
    case NodeKind::Task:
        return task_roll_up(node);
    case NodeKind::Plugin:
        return plugin_roll_up(node);
    case NodeKind::Other:
        break;
    }
    check(PyObject_CallMethodNoArgs(node, interned.roll_up));
}

void call_update(PyObject* node, PyObject* data) {
    if (native_kind(node, Method::Update) != NodeKind::Other) return base_update(node, data);
    check(PyObject_CallMethodOneArg(node, interned.update, data));
}

void call_update_extra(PyObject* node, PyObject* data) {
    if (native_kind(node, Method::UpdateExtra) != NodeKind::Other)
        return base_update_extra(node, data);
    check(PyObject_CallMethodOneArg(node, interned.update_extra, data));
}

} // namespace korvo::campaign
