// A JSON encoder reading Python objects directly into one text buffer. Its output and
// its errors are those of the standard library's C encoder with the default settings
// (ensure_ascii, check_circular, allow_nan, ", " and ": " separators, keys unsorted).
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "common/ascii_buffer.hpp"
#include "common/py_support.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign {

class JsonWriter {
  public:
    JsonWriter() = default;
    // Streams the text to `sink`; call flush() at the end.
    explicit JsonWriter(ChunkSink& sink) : out_(sink) {}
    virtual ~JsonWriter();
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    // Encodes any value; values the encoder has no rule for go to substitute().
    void value(PyObject* obj);
    // A str (or subclass) as a JSON string with every non-printable-ASCII character escaped.
    void string(PyObject* text) {
        out_.push_back('"');
        string_body(text);
        out_.push_back('"');
    }
    // The same without the quotes.
    void string_body(PyObject* text);
    // Raw ASCII text, already encoded.
    void raw(const char* text, size_t size) { out_.append(text, size); }
    void raw(char c) { out_.push_back(c); }
    // The text written so far, as a str.
    nb::object finish() { return out_.take(); }
    // Streaming: hands the rest of the text to the sink.
    void flush() { out_.flush(); }

  protected:
    // Encodes `obj`, which is none of the types the encoder knows. The base has no
    // substitutes and fails as the standard hook does.
    virtual void substitute(PyObject* obj);
    [[noreturn]] static void not_serialisable(PyObject* obj);

    // Marks a container or substituted object as being encoded; reaching it again before
    // it is left is a circular reference. Markers hold a reference, like the standard
    // encoder's markers dict, so an address is never reused while it is marked.
    class Marker {
      public:
        Marker(JsonWriter& w, PyObject* obj);
        ~Marker();
        Marker(const Marker&) = delete;
        Marker& operator=(const Marker&) = delete;

      private:
        JsonWriter& w_;
    };

    // Owned references parked while their owner is encoded (dict items, node fields);
    // released on scope exit, so arbitrary code run meanwhile cannot free them.
    class Stash {
      public:
        explicit Stash(JsonWriter& w) : w_(w), base_(w.stash_.size()) {}
        ~Stash();
        Stash(const Stash&) = delete;
        Stash& operator=(const Stash&) = delete;
        void push(PyObject* owned) { w_.stash_.push_back(owned); }
        size_t size() const { return w_.stash_.size() - base_; }
        PyObject* operator[](size_t i) const { return w_.stash_[base_ + i]; }

      private:
        JsonWriter& w_;
        size_t base_;
    };

    // One nesting level, counted by the shared recursion guard (the interpreter's limit, a
    // hard cap and the stack left).
    class Depth {
      public:
        explicit Depth(JsonWriter&) : guard_(" while encoding a JSON object") {}

      private:
        RecursionGuard guard_;
    };

    // Writes a mapping from (key, value) pairs held in a stash: '{' k: v, ... '}'.
    void pairs(const Stash& items);

    AsciiBuffer out_;
    std::string scratch_; // for helpers that format into a std::string

  private:
    void integer(PyObject* obj);
    void real(PyObject* obj, bool as_key);
    void list(PyObject* obj);
    void dict(PyObject* obj);
    void key(PyObject* key);

    SignalPoll signals_;
    std::vector<PyObject*> markers_;
    std::vector<PyObject*> stash_;
};

} // namespace korvo::campaign
