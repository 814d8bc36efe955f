// The compiled control-character pattern, made once when the module loads.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

// Compiles the pattern (first call) and returns it; later calls return the same object.
PyObject* escape_pattern();

} // namespace korvo::scribe
