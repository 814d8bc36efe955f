#include "campaign/model/counters.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/iteration.hpp"

namespace korvo::campaign {

namespace {

nb::object lower_text(PyObject* value) {
    nb::object text = check(PyObject_Str(value));
    if (PyUnicode_IS_ASCII(text.ptr())) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
        const char* src = (const char*)PyUnicode_DATA(text.ptr());
        bool has_upper = false;
        for (Py_ssize_t i = 0; i < n && !has_upper; ++i)
            has_upper = src[i] >= 'A' && src[i] <= 'Z';
        if (!has_upper) return text;
        nb::object out = check(PyUnicode_New(n, 127));
        char* dst = (char*)PyUnicode_DATA(out.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            dst[i] = (src[i] >= 'A' && src[i] <= 'Z') ? char(src[i] + 32) : src[i];
        return out;
    }
    return check(PyObject_CallMethodNoArgs(text.ptr(), interned.lower));
}

void add_to(PyObject* counter, PyObject* key, PyObject* amount) {
    nb::object current = check(PyObject_GetItem(counter, key));
    nb::object sum = check(PyNumber_Add(current.ptr(), amount));
    check_status(PyObject_SetItem(counter, key, sum.ptr()));
}

} // namespace

nb::object new_counter() {
    return check(PyObject_CallNoArgs(module_global(interned.ResultCounter).ptr()));
}

RollUpCounters reset_counters(PyObject* node) {
    RollUpCounters fresh{new_counter(), new_counter()};
    set_attr(node, interned.summary, fresh.summary.ptr());
    set_attr(node, interned.pluginsummary, fresh.pluginsummary.ptr());
    return fresh;
}

void count_result(PyObject* counter, PyObject* result) {
    static PyObject* one = PyLong_FromLong(1);
    add_to(counter, lower_text(result).ptr(), one);
}

void add_counts(PyObject* target, PyObject* source) {
    for_each_pair(source, [&](PyObject* key, PyObject* count) { add_to(target, key, count); });
}

} // namespace korvo::campaign
