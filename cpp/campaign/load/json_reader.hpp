// A JSON document as json.loads decodes it, read natively so that Ctrl-C is honoured in the
// middle of a large file (the standard decoder never checks for signals).
#pragma once

#include <cstddef>

#include "common/py_support.hpp"

namespace korvo::campaign::load {

// The decoded document: dicts, lists, texts, ints, floats (NaN and Infinity included),
// booleans and None, equal to what json.loads gives for the same bytes. Malformed JSON
// raises ValueError naming the line and column, nesting deeper than the interpreter's
// recursion limit RecursionError. A null result means the bytes are not UTF-8 text of the
// plain form (a byte-order mark, UTF-16 or UTF-32): json.loads reads those.
nb::object read_json(const char* data, size_t size);

} // namespace korvo::campaign::load
