// The texts the YAML representers give scalar values: rounded floats, base64 lines of
// bytes, and multi-line texts with their line ends trimmed.
#pragma once

#include <Python.h>

#include <string>

#include "campaign/yaml/text.hpp"

namespace korvo::campaign::yaml {

constexpr int kFloatPrecision = 2;

// Appends repr(round(value, 2)): correctly rounded (ties to even on the exact binary value),
// then the shortest text that reads back to the rounded value.
void append_rounded_float(std::string& out, double value);

// Appends the standard base64 of the bytes in lines of 76 characters, each ending in "\n"
// (nothing at all for no bytes).
void append_base64_lines(std::string& out, const unsigned char* data, size_t n);

// The text with every line's trailing white space removed, lines split at "\n" only.
// The result has the same code unit width as the input and is stored in `storage`.
TextView strip_line_ends(const TextView& text, std::string& storage);

// True when the text contains "\n".
bool has_line_feed(const TextView& text);

} // namespace korvo::campaign::yaml
