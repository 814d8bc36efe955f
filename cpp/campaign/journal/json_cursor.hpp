// The JSON tokens of one journal line, read in place: the layer under the value reader and
// the record operations, which know what each token means.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "common/py_support.hpp"

namespace korvo::campaign::journal {

// A line that is not what the writer writes: the replay stops there and reports the damage.
struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class JsonCursor {
  public:
    void reset(std::string_view line) {
        p_ = line.data();
        end_ = line.data() + line.size();
    }

    char peek() const {
        if (p_ >= end_) throw Malformed("record ends early");
        return *p_;
    }
    void expect(char c) {
        if (peek() != c) throw Malformed(std::string("expected '") + c + "'");
        ++p_;
    }
    void expect(std::string_view text);
    bool accept(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    // The unescaped UTF-8 bytes of a JSON string (\u escapes of surrogates encoded as such);
    // `scratch` holds them when the string has escapes.
    std::string_view raw_text(std::string& scratch);
    // A string as a Python text.
    nb::object text();
    // An integer the writer numbers things with (nodes, objects): at most 2**53.
    long long integer();
    // A JSON number as an int or a float.
    nb::object number();

  private:
    const char* p_ = nullptr;
    const char* end_ = nullptr;
};

// The Python text of UTF-8 bytes in which lone surrogates are encoded as such.
nb::object decode_text(std::string_view bytes);

int hex_digit(char c);

} // namespace korvo::campaign::journal
