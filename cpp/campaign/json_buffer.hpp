// The JSON writer's output: ASCII text written straight into the str object that is
// returned. Growth reallocates in place where the allocator can, and the text is never
// copied into a second object at the end.
#pragma once

#include <Python.h>

#include <cstring>

#include "common/py_support.hpp"

namespace korvo::campaign {

class JsonBuffer {
  public:
    JsonBuffer() = default;
    ~JsonBuffer() { Py_XDECREF(text_); }
    JsonBuffer(const JsonBuffer&) = delete;
    JsonBuffer& operator=(const JsonBuffer&) = delete;

    // Room for n more bytes; write them at the returned pointer, then commit(n).
    char* reserve(size_t n) {
        if (size_ + n > capacity_) grow(size_ + n);
        return data_ + size_;
    }
    void commit(size_t n) { size_ += n; }

    void append(const char* s, size_t n) {
        char* dst = reserve(n);
        // Most pieces are a few bytes: a plain loop beats a call to memcpy.
        if (n <= 16) {
            for (size_t i = 0; i < n; ++i)
                dst[i] = s[i];
        } else {
            std::memcpy(dst, s, n);
        }
        size_ += n;
    }
    void push_back(char c) {
        *reserve(1) = c;
        ++size_;
    }
    size_t size() const { return size_; }

    // The text written so far as a str; the buffer is empty afterwards.
    nb::object finish();

  private:
    void grow(size_t needed);

    PyObject* text_ = nullptr; // a compact ASCII str owned until finish()
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

} // namespace korvo::campaign
