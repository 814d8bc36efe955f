// A live report tree from a decoded results document (plain dicts and lists, as the
// JSON decoder or the YAML reader give them): real nodes with their attributes, parent
// links, results, counters and date-times. Free-form values are taken by reference.
#pragma once

#include <Python.h>

#include "campaign/load/field_values.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::load {

// `report` is the document's "report" mapping. Raises ValueError naming the place
// (report.tasks[2].sections[0]) when the data cannot be a report tree.
nb::object build_tree(PyObject* report, const FieldContext& ctx);

} // namespace korvo::campaign::load
