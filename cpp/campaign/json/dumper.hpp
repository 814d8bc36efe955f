// The report's JSON rules: what JSONDumper.default substitutes for nodes, result values,
// counters, date-times and errors, and the native dump of a whole subtree.
#pragma once

#include <Python.h>

#include "common/ascii_buffer.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign {

// Resolves the standard encoder class; called once at module load.
void init_json_dumper();

// The standard encoder class JSONDumper derives from.
nb::object json_encoder_class();

// The substitute for `obj` by the report's rules, or a null object when no rule applies.
// The substitute may be empty; the caller decides what an unset substitute means.
nb::object json_substitute(PyObject* obj);

// JSONDumper.default(self, obj): a set substitute, else the standard encoder's hook.
nb::object json_dumper_default(PyObject* self, PyObject* obj);

// The JSON text of {"version": VERSION, "report": node}, as json.dumps with JSONDumper
// writes it, produced without going through the json module.
nb::object dump_json(PyObject* node);
// The same text, handed to `sink` in chunks as it is produced.
void stream_json(PyObject* node, ChunkSink& sink);

} // namespace korvo::campaign
