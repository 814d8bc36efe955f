// The report's JSON substitution rules, each written once: which rule a value falls under
// and what each rule makes of it. JSONDumper.default (the encoder's hook) and the native
// writer both go through them.
#pragma once

#include <Python.h>

#include "campaign/model/interned.hpp"
#include "campaign/walk/result_cache.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign {

// The rules in the order they are tested.
enum class Rule { Node, Result, Counter, DateTime, Error, None };

// Which rule applies to `obj`; each test accepts derived classes. `result_cls` and
// `counter_cls` are the module's TestResult and ResultCounter as looked up for this use.
Rule classify(PyObject* obj, PyObject* result_cls, PyObject* counter_cls);

// A result value's entries: "value", then "reason" and "data" when set.
template <typename Sink> void each_result_entry(const ResultCache::Fields& f, Sink&& sink) {
    sink(interned.value, f.value.ptr());
    if (f.reason) sink(interned.reason, f.reason.ptr());
    if (f.data) sink(interned.data, f.data.ptr());
}

// A counter's substitute: a copy of its data, then "total" and "success_rate".
nb::object counter_mapping(PyObject* counter);

// An error's substitute: its message text (empty means no substitute).
nb::object error_text(PyObject* error);

} // namespace korvo::campaign
