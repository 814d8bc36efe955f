// The detail line a merge gives a node that replaced an earlier run of it ("rerun: was
// failed"), made and recognised in one place: the merge writes it, JUnit shows it.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// "rerun: was <result of `replaced`, lower case>", or "rerun: was without result".
nb::object rerun_note(PyObject* replaced);

// True when `detail` is such a line; `history` gets what follows "rerun: " ("was failed").
bool read_rerun_note(PyObject* detail, nb::object& history);

} // namespace korvo::campaign
