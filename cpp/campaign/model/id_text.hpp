// The text form of a path of text ids.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/py_support.hpp"

namespace korvo::campaign {

// The exact str ids joined by ".", outermost first, built in one allocation; a single
// id is returned itself.
nb::object join_text_ids(PyObject* const* ids, size_t n);

} // namespace korvo::campaign
