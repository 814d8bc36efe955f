// Cleaning of text bound for the legacy report: the control characters XML 1.0 cannot
// carry (ESC among them) become \xNN; code points UTF-8 cannot encode, and U+FFFE and
// U+FFFF, become \uXXXX.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

// escape(string): TypeError for anything but text.
nb::object escape(PyObject* text);

// escape_data(data): texts inside lists, dicts and tuples cleaned; containers copied.
nb::object escape_data(PyObject* data);

// ESCAPE_SEQUENCE: the compiled pattern of the characters escape() rewrites, made on the
// first call; later calls return the same object.
PyObject* escape_pattern();

// The substitution callback: "\\xNN" (or "\\uXXXX" above U+00FF) for the character of a
// match of the pattern.
nb::object escape_repl(PyObject* match);

} // namespace korvo::scribe
