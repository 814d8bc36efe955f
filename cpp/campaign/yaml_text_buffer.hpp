// The YAML writer's output: ASCII text accumulated directly in a Python string object, so
// that the finished document is handed over without a final copy.
#pragma once

#include <Python.h>

#include <cstring>

#include "common/py_support.hpp"

namespace korvo::campaign::yaml {

class TextBuffer {
  public:
    TextBuffer() { reset_to(kInitial); }
    ~TextBuffer() { Py_XDECREF(str_); }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    void put(char c) {
        if (len_ == cap_) grow(1);
        data_[len_++] = c;
    }
    void put(const char* s, size_t n) {
        if (cap_ - len_ < n) grow(n);
        std::memcpy(data_ + len_, s, n);
        len_ += n;
    }
    void spaces(size_t n) {
        if (cap_ - len_ < n) grow(n);
        std::memset(data_ + len_, ' ', n);
        len_ += n;
    }
    // Appends code units known to be ASCII (the writer escapes everything else).
    template <typename C> void put_units(const C* s, size_t n) {
        if (cap_ - len_ < n) grow(n);
        char* out = data_ + len_;
        for (size_t i = 0; i < n; ++i)
            out[i] = char(s[i]);
        len_ += n;
    }

    size_t size() const { return len_; }

    // The finished text as a str (the buffer is left empty).
    nb::object take() {
        resize(len_);
        PyObject* out = str_;
        str_ = nullptr;
        data_ = nullptr;
        len_ = cap_ = 0;
        return nb::steal(out);
    }

  private:
    static constexpr size_t kInitial = 1024;

    void reset_to(size_t cap) {
        str_ = PyUnicode_New(Py_ssize_t(cap), 127);
        if (!str_) throw nb::python_error();
        data_ = static_cast<char*>(PyUnicode_DATA(str_));
        cap_ = cap;
    }
    void resize(size_t cap) {
        // A fresh, unshared str is resized in place (realloc), keeping what was written.
        if (PyUnicode_Resize(&str_, Py_ssize_t(cap)) < 0) throw nb::python_error();
        data_ = static_cast<char*>(PyUnicode_DATA(str_));
        cap_ = cap;
    }
    void grow(size_t extra) {
        size_t want = cap_ + cap_ / 2;
        if (want < len_ + extra) want = len_ + extra;
        resize(want);
    }

    PyObject* str_ = nullptr;
    char* data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

} // namespace korvo::campaign::yaml
