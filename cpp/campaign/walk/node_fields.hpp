// The rule every writer follows for a report node: the names of its class list, in order,
// each with its value, leaving out absent values and those in VALUE_IGNORE; an exact node's
// paths come from the path stack instead of being read.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/walk/node_access.hpp"
#include "campaign/walk/path_stack.hpp"
#include "campaign/walk/result_cache.hpp"

namespace korvo::campaign {

// (key, value) pairs in the order they are written.
using Pairs = std::vector<std::pair<nb::object, nb::object>>;

// Where a field's value comes from.
enum class FieldSource : char {
    Value,  // read from the node
    FullId, // the path's ids joined by "." (every id a text)
    IdList, // the list of the path's ids
};

// Calls sink(index, name, source, value) for each field of `node`, `index` being the name's
// position in `order`; `value` is null unless the source is Value. With a valid `path` (the
// node's own scope) the paths come from it: a text and a non-empty list, never ignored.
// VALUE_IGNORE is asked through `results` when given. A node that is not one of our exact
// classes may compute its values, so the value kept is a second read, as getattr after the
// test would give.
template <typename Sink>
void for_each_node_field(PyObject* node, PyObject* order, const PathStack::Scope* path,
                         ResultCache* results, Sink&& sink) {
    bool exact = exact_kind(node) != NodeKind::Other;
    bool paths = path && path->valid();
    auto visit = [&](Py_ssize_t index, PyObject* name) {
        if (paths && name == interned.idlist)
            return sink(index, name, FieldSource::IdList, nb::object());
        if (paths && path->text() && name == interned.fullid)
            return sink(index, name, FieldSource::FullId, nb::object());
        nb::object value = read_listed(node, name);
        if (!value) return;
        if (results ? results->ignored(value.ptr()) : is_ignored_value(value.ptr())) return;
        if (!exact) value = get_attr(node, name);
        sink(index, name, FieldSource::Value, std::move(value));
    };
    // Sizes are re-read on every step: reading a value may run code that changes the list.
    if (PyTuple_CheckExact(order) || PyList_CheckExact(order)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(order); ++i) {
            nb::object name = nb::borrow(PySequence_Fast_GET_ITEM(order, i));
            visit(i, name.ptr());
        }
        return;
    }
    nb::object it = check(PyObject_GetIter(order));
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* raw = PyIter_Next(it.ptr());
        if (!raw) break;
        nb::object name = nb::steal(raw);
        visit(i, name.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

} // namespace korvo::campaign
