// Encoding of attribute values into journal records (the value forms of record_format.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "campaign/journal/pointer_map.hpp"
#include <vector>

#include "common/py_support.hpp"

namespace korvo::campaign::journal {

// Objects that carry an identity in the journal, numbered in order of first appearance.
// Each is held strongly, so its address is never reused for another object while the
// journal is open.
class NumberedObjects {
  public:
    ~NumberedObjects() { release(); }
    // The object's number; `fresh` tells whether it was numbered just now.
    uint32_t number(PyObject* obj, bool& fresh);
    // When its contents were last written (a record serial), updated to `serial`.
    uint64_t exchange_written(uint32_t n, uint64_t serial);
    size_t size() const { return held_.size(); }
    // Forgets every object numbered after the first `count` (a value that failed to encode).
    void truncate(size_t count);
    void release();

  private:
    PointerMap<uint32_t> numbers_;
    std::vector<PyObject*> held_;
    std::vector<uint64_t> written_;
};

// The JSON texts of strings written again and again (attribute names, dict keys, result
// names). Only interned strings are remembered, by address: the model's names are, and each
// is held so its address is never reused while remembered. The table stops growing at a
// bound, past which texts are encoded as they come.
class TextCache {
  public:
    ~TextCache() { release(); }
    void append(std::string& out, PyObject* s);
    void release();

  private:
    static constexpr size_t kMaxEntries = 4096;
    struct Span {
        uint32_t at, length;
    };
    PointerMap<Span> spans_;
    std::vector<PyObject*> held_;
    std::string texts_;
};

// What the encoder needs from its journal besides the numbers.
struct ValueContext {
    TextCache* texts;
    NumberedObjects* objects;
    // The journal's number of a node of its tree, or -1.
    long long (*node_number)(void* journal, PyObject* node);
    void* journal;
    // korvo.results' named results, by address, and the classes told apart by exact type.
    const std::unordered_map<PyObject*, std::string>* named_results;
    PyObject* result_type;
    PyObject* counter_type;
    PyObject* attrdict_type;
};

class ValueWriter {
  public:
    ValueWriter(const ValueContext& context, std::string& out, uint64_t serial);
    // Appends the value; a value that cannot be read (its repr raises, a dict changes while
    // written) is written as a flagged text saying so, never half. An interruption or lack of
    // memory propagates, the text appended so far left for the caller to discard.
    void value(PyObject* v);
    size_t flagged() const { return flagged_; }
    // Whether a list, dict or AttrDict was met (their texts carry identity).
    bool numbered_any() const { return numbered_any_; }

  private:
    void any(PyObject* v);
    void text(PyObject* s);
    void integer(PyObject* v);
    void real(double d);
    void numbered(PyObject* v, PyTypeObject* t);
    void body(PyObject* v, PyTypeObject* t);
    void list_body(PyObject* list);
    void dict_body(PyObject* dict);
    void pairs(PyObject* mapping);
    void counter(PyObject* counter);
    void result(PyObject* v);
    void sequence(PyObject* tuple);
    void exception(PyObject* v);
    void unknown(PyObject* v);

    const ValueContext& cx_;
    std::string& out_;
    uint64_t serial_;
    size_t flagged_ = 0;
    bool numbered_any_ = false;
};

// Appends the decimal digits of `n`.
inline void append_int(std::string& out, long long n) {
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    unsigned long long u = n < 0 ? 0ULL - (unsigned long long)n : (unsigned long long)n;
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u);
    if (n < 0) *--p = '-';
    out.append(p, size_t(end - p));
}

// Appends `s` as a JSON string: UTF-8, lone surrogates as \u escapes.
void append_json_text(std::string& out, PyObject* s);
void append_json_text(std::string& out, const char* s, size_t n);

} // namespace korvo::campaign::journal
