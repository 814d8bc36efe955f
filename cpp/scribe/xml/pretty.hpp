// Pretty-printing of an element tree exactly as the DOM pretty-printer prints the
// re-parsed UTF-8 serialisation (indent of two blanks, "\n" line ends).
#pragma once

#include <Python.h>

#include <functional>
#include <string>

#include "common/py_support.hpp"

namespace korvo::scribe {

// Writes the pretty-printed document of `element` (an xml.etree element) into `out`.
// Returns false, with no Python error set, when the serialised document would not
// re-parse (the caller then takes the library path that raises the parser's own
// error); errors the element tree's serialisation would raise propagate as exceptions.
// With `flush`, the text printed so far is handed over (and cleared) whenever it grows
// past a chunk, so a large document never sits in memory whole; a false result then
// means the chunks already flushed are void.
using TextFlush = std::function<void(std::string&)>;
bool pretty_print_element(PyObject* element, std::string& out, const TextFlush& flush = {});

// Raises RecursionError when the library path could not serialise `element` without
// overflowing the C stack: before 3.11 the library's serialiser and pretty-printer use C
// stack for every level of the tree, whatever the recursion limit allows. A no-op on later
// interpreters, whose Python-level recursion takes no C stack.
void check_library_depth(PyObject* element);

// The pretty-printed document as text: the native walk when it succeeds, otherwise the
// library round trip (serialise, parse, pretty-print), which raises the library's errors.
nb::object pretty_xml(PyObject* element);

} // namespace korvo::scribe
