// Cleaning of text bound for the legacy report: the lowest control characters and ESC
// become \xNN, code points UTF-8 cannot carry become \uXXXX.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

// escape(string): TypeError for anything but text.
nb::object escape(PyObject* text);

// escape_data(data): texts inside lists, dicts and tuples cleaned; containers copied.
nb::object escape_data(PyObject* data);

// The substitution callback: "\\xNN" for the character of a match of the pattern.
nb::object escape_repl(PyObject* match);

} // namespace korvo::scribe
