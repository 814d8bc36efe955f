// The writers' output: ASCII text written straight into the str object that is returned, or
// streamed in chunks to a sink (a file) so that memory stays bounded whatever the size.
// Growth resizes that str in place where the allocator can (realloc), and the finished
// text is handed over without a final copy.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/py_support.hpp"

namespace korvo {

// Where a streaming buffer hands its full chunks.
class ChunkSink {
  public:
    virtual void write(const char* data, size_t n) = 0;

  protected:
    ~ChunkSink() = default;
};

class AsciiBuffer {
  public:
    AsciiBuffer() = default;
    // Streams to `sink` in chunks of about kChunk bytes; finish with flush().
    explicit AsciiBuffer(ChunkSink& sink) : sink_(&sink) {}
    ~AsciiBuffer() {
        Py_XDECREF(str_);
        if (sink_) std::free(data_);
    }
    AsciiBuffer(const AsciiBuffer&) = delete;
    AsciiBuffer& operator=(const AsciiBuffer&) = delete;

    // Room for n more bytes; write them at the returned pointer, then commit(n).
    char* reserve(size_t n) {
        if (cap_ - len_ < n) grow(n);
        return data_ + len_;
    }
    void commit(size_t n) { len_ += n; }

    void push_back(char c) {
        if (len_ == cap_) grow(1);
        data_[len_++] = c;
    }
    void append(const char* s, size_t n) {
        char* out = reserve(n);
        // Most pieces are a few bytes: a plain loop beats a call to memcpy.
        if (n <= 16) {
            for (size_t i = 0; i < n; ++i)
                out[i] = s[i];
        } else {
            std::memcpy(out, s, n);
        }
        len_ += n;
    }
    void spaces(size_t n) {
        std::memset(reserve(n), ' ', n);
        len_ += n;
    }
    // Appends code units of any width known to be ASCII (the writers escape the rest).
    template <typename C> void append_units(const C* s, size_t n) {
        char* out = reserve(n);
        for (size_t i = 0; i < n; ++i)
            out[i] = char(s[i]);
        len_ += n;
    }

    // Bytes written and not yet handed over (all of them, unless streaming).
    size_t size() const { return len_; }

    // Streaming: hands what is buffered to the sink.
    void flush() {
        if (len_) sink_->write(data_, len_);
        len_ = 0;
    }

    // The text written so far as a str; the buffer is empty afterwards.
    nb::object take() {
        if (!str_) return check(PyUnicode_New(0, 127));
        resize(len_);
        PyObject* out = str_;
        str_ = nullptr;
        data_ = nullptr;
        len_ = cap_ = 0;
        return nb::steal(out);
    }

    static constexpr size_t kChunk = size_t(1) << 20;

  private:
    static constexpr size_t kInitial = 1024;

    void resize(size_t cap) {
        // A fresh, unshared str is resized in place, keeping what was written.
        if (PyUnicode_Resize(&str_, Py_ssize_t(cap)) < 0) throw nb::python_error();
        data_ = static_cast<char*>(PyUnicode_DATA(str_));
        cap_ = cap;
    }
    // Half as much again each time: the output is the dump's largest allocation, and
    // resizing a large block in place is cheap, so the slack is kept small.
    void grow(size_t extra) {
        if (sink_) return next_chunk(extra);
        size_t want = cap_ ? cap_ + cap_ / 2 : kInitial;
        if (want < len_ + extra) want = len_ + extra;
        if (str_) return resize(want);
        str_ = PyUnicode_New(Py_ssize_t(want), 127);
        if (!str_) throw nb::python_error();
        data_ = static_cast<char*>(PyUnicode_DATA(str_));
        cap_ = want;
    }

    // Streaming: the full chunk goes to the sink and the block is reused (enlarged only for
    // a single piece longer than a chunk).
    void next_chunk(size_t extra) {
        flush();
        if (extra <= cap_) return;
        size_t want = extra > kChunk ? extra : kChunk;
        void* block = std::realloc(data_, want);
        if (!block) throw std::bad_alloc();
        data_ = static_cast<char*>(block);
        cap_ = want;
    }

    ChunkSink* sink_ = nullptr;
    PyObject* str_ = nullptr; // a compact ASCII str owned until take()
    char* data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

} // namespace korvo
