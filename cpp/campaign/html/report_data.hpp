// The data a report page embeds: the tree in columns (one entry per node, in tree order,
// each with its parent's index), small tables for the repeated texts, sparse maps for what
// few nodes carry (descriptions, details, extra, parameters, xref and any other field), and
// the log slices. Compact JSON, parsed once by the page.
#pragma once

#include <Python.h>

#include "campaign/html/log_slices.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::html {

// The data of the tree below `root`, as JSON text safe inside a <script> element. Log slices
// are read from `logs_dir` (a path, a list or tuple of paths searched in order, or None for
// none).
nb::object report_data(PyObject* root, PyObject* logs_dir, SliceLimits limits);

} // namespace korvo::campaign::html
