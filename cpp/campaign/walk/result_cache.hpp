// What the writers learn about a result value during one dump: whether it is in
// VALUE_IGNORE and the value, reason and data it is written with. Step nodes share a few
// result objects and every node compares its result with the ignored values, so each
// result is asked once per dump. Within one dump a result's equality and attributes do not
// change, so the answers stay right; the entries hold their results, so an address is
// never reused while remembered. Only results of exactly the given class are remembered (a
// subclass may compute its answers differently on each call), and only those shared by
// several holders: the fresh result each rolled-up node owns is met once per dump.
#pragma once

#include <Python.h>

#include <unordered_map>

#include "common/py_support.hpp"

namespace korvo::campaign {

class ResultCache {
  public:
    // `result_type` is the result class of this dump; anything else is never remembered.
    explicit ResultCache(PyObject* result_type) : type_(result_type) {}
    ResultCache(const ResultCache&) = delete;
    ResultCache& operator=(const ResultCache&) = delete;

    struct Fields {
        nb::object value, reason, data; // reason and data null when not set (falsy)
    };

    // VALUE_IGNORE membership of any value, remembered for results.
    bool ignored(PyObject* value);
    // Whether `obj` is a result whose answers are remembered.
    bool remembers(PyObject* obj) const {
        return type_ && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type_;
    }
    // The fields `obj`, a result, is written with; remembered when ignored() remembered it.
    // A copy: writing them may write other results.
    Fields fields(PyObject* obj);
    // The same, read afresh.
    static void read_fields(PyObject* obj, Fields& out);

  private:
    struct Entry {
        nb::object held;
        signed char ignored = -1; // unknown until asked
        bool has_fields = false;
        Fields fields;
    };
    Entry& entry(PyObject* obj);

    // References to a node's result while ignored() asks about it: the node's and the caller's.
    static constexpr Py_ssize_t kOwnedByOneNode = 2;

    PyObject* type_;
    std::unordered_map<PyObject*, Entry> entries_;
};

} // namespace korvo::campaign
