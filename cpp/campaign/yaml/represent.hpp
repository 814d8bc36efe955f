// Walks Python values the way the YAML dumper's representer table would and reports each
// resulting node to the text writer. The representers of our own types (nodes, results,
// counters, AttrDict, headers, unknown objects) and the safe dumper's ones for the
// built-in types are reproduced natively, so no YAML node objects are ever built.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "campaign/walk/path_stack.hpp"
#include "campaign/walk/result_cache.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::yaml {

// The types registered in the dumper's table at load time (held for the process's life).
struct RegisteredTypes {
    PyObject* result_counter = nullptr;
    PyObject* test_result = nullptr;
    PyObject* attr_dict = nullptr;
    PyObject* report_header = nullptr;
};

extern RegisteredTypes registered;

// Prepares the date-time support the walker uses; called once at module load.
void init_represent();

using Pairs = std::vector<std::pair<nb::object, nb::object>>;

// The (name, value) pairs a report node is written with: its class list's names in order,
// each with its value, leaving out absent values and those in VALUE_IGNORE. With a valid
// `path` (the node's own), fullid is taken from it and idlist comes with no value: the
// caller writes the path's ids as the sequence.
// VALUE_IGNORE is asked through `results` when given.
void node_pairs(PyObject* node, PyObject* arg_order, Pairs& out, PathStack::Scope* path = nullptr,
                ResultCache* results = nullptr);

// The YAML text of the document {version: VERSION, report: report}.
nb::object dump_report_document(PyObject* report);

} // namespace korvo::campaign::yaml
