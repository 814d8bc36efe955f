// A native reader for the YAML that our writer gives: block mappings and sequences,
// plain, quoted and literal scalars, "[]" and "{}", !!float tags. It builds plain
// Python data (dicts in file order, lists, texts, numbers, date-times) as PyYAML's safe
// loader would. Anything outside that form makes it give up, so the caller can hand
// the text to a full YAML parser instead; it never guesses.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/py_support.hpp"

namespace korvo::campaign::load {

// `resolve(text, tag)` gives the value of a plain scalar (tag None) or of a tagged one
// whose meaning the reader does not decide itself. Returns a null object when the text
// is outside the form the reader takes.
nb::object read_yaml(const char* data, size_t n, PyObject* resolve);

} // namespace korvo::campaign::load
