// Writing a result file so that readers only ever see a complete file: the data goes
// to a temporary file beside the target, which is then renamed over it.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/py_support.hpp"

namespace korvo::scribe {

// Writes `len` bytes to the file at `path` (a path-like object). On failure an OSError
// naming `path` is raised, the temporary file is removed and an existing file at
// `path` is left as it was. The file keeps the permission bits of the one it replaces.
void write_result_file(PyObject* path, const char* data, size_t len);

} // namespace korvo::scribe
