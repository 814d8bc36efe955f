// File-system helpers of the log positions.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// The text after the last "/" of a path (text, bytes or path-like).
nb::object base_name(PyObject* path);

// Size in bytes of the file at `path`, following symbolic links; OSError subclasses on failure.
nb::object file_size(PyObject* path);

} // namespace korvo::campaign
