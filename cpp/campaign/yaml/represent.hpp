// Walks Python values the way the YAML dumper's representer table would and reports each
// resulting node to the text writer. The representers of our own types (nodes, results,
// counters, AttrDict, headers, unknown objects) and the safe dumper's ones for the
// built-in types are reproduced natively, so no YAML node objects are ever built.
#pragma once

#include <Python.h>

#include "common/ascii_buffer.hpp"
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

// The YAML text of the document {version: VERSION, report: report}.
nb::object dump_report_document(PyObject* report);
// The same text, handed to `sink` in chunks as it is produced.
void stream_report_document(PyObject* report, ChunkSink& sink);

} // namespace korvo::campaign::yaml
