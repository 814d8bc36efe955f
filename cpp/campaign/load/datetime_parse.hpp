// Date-times read back from the text the writers give them (common/iso_datetime's parser).
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign::load {

// The date-time written as "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]", or a null object
// when `text` is not exactly what the writers would give for one (so a text that only
// looks like a date-time, or one the writers would spell differently, stays a text).
nb::object parse_datetime_text(const char* text, size_t n);

} // namespace korvo::campaign::load
