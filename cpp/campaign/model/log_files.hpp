// File-system helpers of the log positions.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// The text after the last "/" of a path (text, bytes or path-like).
nb::object base_name(PyObject* path);

// Size in bytes of the file at `path`, following symbolic links; OSError subclasses on failure.
nb::object file_size(PyObject* path);

// At a node's start: logs["file"] := the base name of `logfile`, logs["begin"] := its size.
void mark_log_begin(PyObject* logs, PyObject* logfile);

// At its stop: logs["size"] := the size of `logfile` now minus logs["begin"].
void mark_log_size(PyObject* logs, PyObject* logfile);

} // namespace korvo::campaign
