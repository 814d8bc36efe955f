// A node's YAML or JSON document written to a file: the bytes dump_yaml() / dump_json() give,
// streamed in chunks into a new file that replaces `path` only when complete.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// Remembers the native dump_yaml / dump_json of the node base class `base`, so that a
// subclass or instance replacing them is recognised; called once at module load.
void remember_native_dumps(PyObject* base);

void write_yaml_file(PyObject* node, PyObject* path);
void write_json_file(PyObject* node, PyObject* path);

} // namespace korvo::campaign
