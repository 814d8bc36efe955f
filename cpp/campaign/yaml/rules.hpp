// The representation rules of the YAML output, each written once: what a report node, a
// header, a counter, a result, an unknown object, a mapping and a text are written as. The
// native walker (represent.cpp) writes what they produce; the representer table's callbacks
// (dumper.cpp) hand the same to the library's node builders.
#pragma once

#include <Python.h>

#include <string>

#include "campaign/walk/node_fields.hpp"
#include "campaign/walk/path_stack.hpp"
#include "campaign/walk/result_cache.hpp"
#include "campaign/yaml/text.hpp"

namespace korvo::campaign::yaml {

using campaign::Pairs;

// The (name, value) pairs a report node is written with (the node-field rule). With a valid
// `path` (the node's own), fullid is taken from it and idlist comes with no value: the
// caller writes the path's ids as the sequence. VALUE_IGNORE is asked through `results`
// when given.
void node_pairs(PyObject* node, PyObject* arg_order, Pairs& out, PathStack::Scope* path = nullptr,
                ResultCache* results = nullptr);

// ("version", VERSION), ("report", header.report).
void header_pairs(PyObject* header, Pairs& out);

// The counter's items() in its own order, then ("total", ...), ("success_rate", ...).
void counter_pairs(PyObject* counter, Pairs& out);

// A result's mapping, sorted as the library sorts a mapping: data, reason, value (the first
// two only when set).
void result_pairs(const ResultCache::Fields& f, Pairs& out);

// An object without a rule of its own, sorted: ("repr", repr(obj)), ("type", type(obj)).
void unknown_pairs(PyObject* obj, Pairs& out);

// A mapping's items() sorted as sorted(items) would, in their own order when unorderable.
void sorted_items(PyObject* mapping, Pairs& out);
// Orders pairs as sorted() would, keeping the given order when they cannot be compared.
void sort_pairs(Pairs& pairs);

// A text is written as it is, or with "\n" in it as a literal block of its lines with their
// trailing white space removed (stored in `storage`).
struct TextForm {
    TextView text;
    bool literal;
};
TextForm text_form(PyObject* str, std::string& storage);

} // namespace korvo::campaign::yaml
