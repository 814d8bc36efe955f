// Pretty-printing of an element tree exactly as the DOM pretty-printer prints the
// re-parsed UTF-8 serialisation (indent of two blanks, "\n" line ends).
#pragma once

#include <Python.h>

#include <string>

namespace korvo::scribe {

// Writes the pretty-printed document of `element` (an xml.etree element) into `out`.
// Returns false, with no Python error set, when the serialised document would not
// re-parse (the caller then takes the library path that raises the parser's own
// error); errors the element tree's serialisation would raise propagate as exceptions.
bool pretty_print_element(PyObject* element, std::string& out);

} // namespace korvo::scribe
