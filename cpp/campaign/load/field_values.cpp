#include "campaign/load/field_values.hpp"

#include <cmath>

#include "campaign/load/datetime_parse.hpp"
#include "campaign/model/counters.hpp"
#include "campaign/model/interned.hpp"

namespace korvo::campaign::load {

nb::object read_time(PyObject* value, const FieldContext& ctx) {
    if (ctx.format == SourceFormat::Json && PyUnicode_Check(value) && PyUnicode_IS_ASCII(value)) {
        nb::object parsed = parse_datetime_text((const char*)PyUnicode_DATA(value),
                                                (size_t)PyUnicode_GET_LENGTH(value));
        if (parsed) return parsed;
    }
    return nb::borrow(value);
}

nb::object read_result(PyObject* value, const FieldContext& ctx) {
    if (!PyDict_CheckExact(value)) return nb::borrow(value);
    Py_ssize_t size = PyDict_GET_SIZE(value);
    if (size < 1 || size > 3) return nb::borrow(value);
    // JSON writes value, reason, data in this order; YAML sorts them, so any order there.
    PyObject* found[3] = {nullptr, nullptr, nullptr};
    PyObject* names[3] = {interned.value, interned.reason, interned.data};
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    int last = -1;
    while (PyDict_Next(value, &pos, &k, &v)) {
        int slot = -1;
        for (int i = 0; i < 3; ++i)
            if (PyUnicode_Check(k) && PyUnicode_Compare(k, names[i]) == 0) slot = i;
        if (slot < 0 || found[slot]) return nb::borrow(value);
        if (ctx.format == SourceFormat::Json && slot < last) return nb::borrow(value);
        last = slot;
        found[slot] = v;
    }
    if (!found[0] || !PyUnicode_Check(found[0])) return nb::borrow(value);
    // An unset reason or data is left out by the writers, so a written one must be set.
    for (int i = 1; i < 3; ++i)
        if (found[i] && !truthy(found[i])) return nb::borrow(value);
    PyObject* constant = PyDict_GetItemWithError(ctx.results_by_value, found[0]);
    if (!constant) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(value);
    }
    if (!found[1] && !found[2]) return nb::borrow(constant);
    nb::object held = nb::borrow(value), keep_constant = nb::borrow(constant);
    nb::object result = check(PyObject_CallMethodNoArgs(constant, interned.clone));
    set_attr(result.ptr(), interned.reason, found[1] ? found[1] : Py_None);
    set_attr(result.ptr(), interned.data, found[2] ? found[2] : Py_None);
    return result;
}

namespace {

// Whether the counter's own success rate prints as `written` does in this format.
bool same_rate(PyObject* counter, PyObject* written, SourceFormat format) {
    nb::object rate = get_attr(counter, interned.success_rate);
    if (format == SourceFormat::Yaml && PyFloat_Check(rate.ptr())) {
        // YAML keeps two decimals: compare what the writer would print.
        nb::object two = check(PyLong_FromLong(2));
        rate = check(PyObject_CallMethodOneArg(rate.ptr(), nb::str("__round__").ptr(), two.ptr()));
    }
    if (Py_TYPE(rate.ptr()) != Py_TYPE(written)) return false;
    int eq = PyObject_RichCompareBool(rate.ptr(), written, Py_EQ);
    check_status(eq);
    return eq != 0;
}

// The weight that makes the counter's rate print as written: the quotient of the
// written and the unweighted rate, nudged by a few units in the last place when the
// counter's own arithmetic rounds differently.
bool recover_weight(PyObject* counter, PyObject* written, SourceFormat format) {
    nb::object unweighted = get_attr(counter, interned.success_rate);
    if (!PyFloat_Check(unweighted.ptr()) || !PyFloat_Check(written)) return false;
    double base = PyFloat_AS_DOUBLE(unweighted.ptr());
    double target = PyFloat_AS_DOUBLE(written);
    if (base == 0.0 || !std::isfinite(base) || !std::isfinite(target)) return false;
    double guess = target / base;
    for (int step = 0; step <= 8; ++step) {
        for (int dir = (step ? -1 : 1); dir <= 1; dir += 2) {
            double w = guess;
            for (int i = 0; i < step; ++i)
                w = std::nextafter(w, dir < 0 ? -HUGE_VAL : HUGE_VAL);
            nb::object weight = check(PyFloat_FromDouble(w));
            set_attr(counter, interned.weight, weight.ptr());
            if (same_rate(counter, written, format)) return true;
        }
    }
    return false;
}

} // namespace

nb::object read_counter(PyObject* value, const FieldContext& ctx) {
    if (!PyDict_CheckExact(value)) return nb::borrow(value);
    Py_ssize_t size = PyDict_GET_SIZE(value);
    if (size < 2) return nb::borrow(value);
    nb::object counter = new_counter();
    Py_ssize_t pos = 0, index = 0;
    PyObject *k, *v;
    nb::object total, rate;
    while (PyDict_Next(value, &pos, &k, &v)) {
        ++index;
        if (index == size - 1) {
            if (!PyUnicode_Check(k) || PyUnicode_Compare(k, interned.total) != 0)
                return nb::borrow(value);
            total = nb::borrow(v);
        } else if (index == size) {
            if (!PyUnicode_Check(k) || PyUnicode_Compare(k, interned.success_rate) != 0)
                return nb::borrow(value);
            rate = nb::borrow(v);
        } else {
            if (!PyLong_CheckExact(v)) return nb::borrow(value);
            // The writers replace a count named "total" or "success_rate" in place.
            if (PyUnicode_Check(k) && (PyUnicode_Compare(k, interned.total) == 0 ||
                                       PyUnicode_Compare(k, interned.success_rate) == 0))
                return nb::borrow(value);
            nb::object key = nb::borrow(k), count = nb::borrow(v);
            check_status(PyObject_SetItem(counter.ptr(), key.ptr(), count.ptr()));
        }
    }
    nb::object own_total = get_attr(counter.ptr(), interned.total);
    if (Py_TYPE(own_total.ptr()) != Py_TYPE(total.ptr())) return nb::borrow(value);
    int eq = PyObject_RichCompareBool(own_total.ptr(), total.ptr(), Py_EQ);
    check_status(eq);
    if (!eq) return nb::borrow(value);
    if (!same_rate(counter.ptr(), rate.ptr(), ctx.format) &&
        !recover_weight(counter.ptr(), rate.ptr(), ctx.format))
        return nb::borrow(value);
    return counter;
}

} // namespace korvo::campaign::load
