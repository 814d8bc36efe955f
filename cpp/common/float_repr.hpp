// Python's repr() of a float, produced natively.
#pragma once

#include <string>

namespace korvo {

// Appends the text repr(value) gives: shortest round-trip digits, fixed notation for
// decimal exponents -4..15, exponent form ("1e+16", "1.5e-05") outside, "nan", "inf", "-inf".
void append_float_repr(std::string& out, double value);

inline std::string float_repr(double value) {
    std::string s;
    append_float_repr(s, value);
    return s;
}

} // namespace korvo
