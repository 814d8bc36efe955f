#include "common/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace korvo {

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char* p = buf;
    const char* end = res.ptr;
    bool negative = *p == '-';
    if (negative) ++p;
    // Shortest digits and the decimal exponent of the first digit.
    std::string digits;
    while (p < end && *p != 'e') {
        if (*p != '.') digits += *p;
        ++p;
    }
    // to_chars does not terminate its output: parse the exponent within [p + 1, end).
    const char* exp_text = p + 1;
    if (exp_text < end && *exp_text == '+') ++exp_text;
    int exp10 = 0;
    std::from_chars(exp_text, end, exp10);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    int decpt = exp10 + 1; // position of the decimal point relative to the digits
    if (negative) out += '-';
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            out += "0.";
            out.append(size_t(-decpt), '0');
            out += digits;
        } else if (size_t(decpt) >= digits.size()) {
            out += digits;
            out.append(size_t(decpt) - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, size_t(decpt));
            out += '.';
            out.append(digits, size_t(decpt), std::string::npos);
        }
        return;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1, std::string::npos);
    }
    int e = decpt - 1;
    out += 'e';
    out += e < 0 ? '-' : '+';
    int mag = std::abs(e);
    if (mag < 10) out += '0';
    out += std::to_string(mag);
}

} // namespace korvo
