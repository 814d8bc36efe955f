// Counting results into ResultCounter objects (read, add, store).
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// A new empty counter from the module's current ResultCounter.
nb::object new_counter();

// counter[str(result).lower()] += 1
void count_result(PyObject* counter, PyObject* result);

// For each (key, count) of source.items(), in order: target[key] += count.
void add_counts(PyObject* target, PyObject* source);

// Fresh empty `summary` and `pluginsummary` counters, set on `node` for a roll-up to fill.
struct RollUpCounters {
    nb::object summary;
    nb::object pluginsummary;
};
RollUpCounters reset_counters(PyObject* node);

} // namespace korvo::campaign
