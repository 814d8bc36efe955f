// The typed node fields read back from their written form: date-times, results, counters.
// Each reader returns the typed value when `value` has exactly the shape the writers give
// that type, and `value` itself otherwise, so whatever a file holds is kept.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign::load {

enum class SourceFormat { Json, Yaml };

struct FieldContext {
    PyObject* results_by_value; // {"passed": korvo.results.Passed, ...}
    SourceFormat format;
};

// starttime / stoptime: JSON carries them as text; YAML already gives date-times.
nb::object read_time(PyObject* value, const FieldContext& ctx);

// result: {"value": v[, "reason": r][, "data": d]} with a known v becomes that result
// (the shared constant itself when it carries no reason or data, as a live stop() stores it).
nb::object read_result(PyObject* value, const FieldContext& ctx);

// summary / pluginsummary: the counts, then "total" and "success_rate", become a
// ResultCounter whose total and success rate (its weight recovered) print as written.
nb::object read_counter(PyObject* value, const FieldContext& ctx);

} // namespace korvo::campaign::load
