#include "campaign/yaml/rules.hpp"

#include <algorithm>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/yaml/scalar_text.hpp"
#include "common/iteration.hpp"

namespace korvo::campaign::yaml {

namespace {

// mapping.items() as pairs; an exact dict is read directly.
void items_pairs(PyObject* mapping, Pairs& out) {
    if (PyDict_CheckExact(mapping)) {
        out.reserve(size_t(PyDict_GET_SIZE(mapping)));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(mapping, &pos, &k, &v))
            out.emplace_back(nb::borrow(k), nb::borrow(v));
        return;
    }
    nb::object items = check(PyObject_CallMethodNoArgs(mapping, interned.items));
    nb::object it = check(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        out.push_back(unpack_pair(item.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

} // namespace

void sort_pairs(Pairs& pairs) {
    if (pairs.size() < 2) return;
    bool all_text = true;
    for (auto& p : pairs) {
        if (!PyUnicode_CheckExact(p.first.ptr())) {
            all_text = false;
            break;
        }
    }
    if (all_text) {
        auto less = [](const auto& a, const auto& b) {
            return PyUnicode_Compare(a.first.ptr(), b.first.ptr()) < 0;
        };
        std::sort(pairs.begin(), pairs.end(), less);
        // Distinct texts never tie, so the values are never compared; a tie (possible only
        // with an items() of one's own) goes the general way below.
        bool tie = false;
        for (size_t i = 1; i < pairs.size() && !tie; ++i)
            tie = PyUnicode_Compare(pairs[i - 1].first.ptr(), pairs[i].first.ptr()) == 0;
        if (!tie) return;
    }
    nb::object items = check(PyList_New(Py_ssize_t(pairs.size())));
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject* t = PyTuple_Pack(2, pairs[i].first.ptr(), pairs[i].second.ptr());
        if (!t) throw nb::python_error();
        PyList_SET_ITEM(items.ptr(), Py_ssize_t(i), t);
    }
    if (PyList_Sort(items.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        return; // unsortable: the mapping's own order
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject* t = PyList_GET_ITEM(items.ptr(), Py_ssize_t(i));
        pairs[i].first = nb::borrow(PyTuple_GET_ITEM(t, 0));
        pairs[i].second = nb::borrow(PyTuple_GET_ITEM(t, 1));
    }
}

void sorted_items(PyObject* mapping, Pairs& out) {
    items_pairs(mapping, out);
    sort_pairs(out);
}

void node_pairs(PyObject* node, PyObject* order, Pairs& out, PathStack::Scope* path,
                ResultCache* results) {
    for_each_node_field(node, order, path, results,
                        [&](Py_ssize_t, PyObject* name, FieldSource source, nb::object value) {
                            if (source == FieldSource::FullId) value = path->fullid();
                            out.emplace_back(nb::borrow(name), std::move(value));
                        });
}

void header_pairs(PyObject* header, Pairs& out) {
    out.emplace_back(nb::borrow(interned.version), module_global(interned.VERSION));
    out.emplace_back(nb::borrow(interned.report), get_attr(header, interned.report));
}

void counter_pairs(PyObject* counter, Pairs& out) {
    items_pairs(counter, out);
    nb::object total = get_attr(counter, interned.total);
    nb::object rate = get_attr(counter, interned.success_rate);
    out.emplace_back(nb::borrow(interned.total), std::move(total));
    out.emplace_back(nb::borrow(interned.success_rate), std::move(rate));
}

void result_pairs(const ResultCache::Fields& f, Pairs& out) {
    if (f.data) out.emplace_back(nb::borrow(interned.data), f.data);
    if (f.reason) out.emplace_back(nb::borrow(interned.reason), f.reason);
    out.emplace_back(nb::borrow(interned.value), f.value);
}

void unknown_pairs(PyObject* obj, Pairs& out) {
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    nb::object text = check(PyObject_Repr(obj));
    out.emplace_back(nb::borrow(interned.repr), std::move(text));
    out.emplace_back(nb::borrow(interned.type), std::move(type));
}

TextForm text_form(PyObject* str, std::string& storage) {
    TextView text = TextView::of(str);
    if (!has_line_feed(text)) return {text, false};
    return {strip_line_ends(text, storage), true};
}

} // namespace korvo::campaign::yaml
