// Deep, in-place, no-copy merge of one mapping into another.
#pragma once

#include <Python.h>

namespace korvo::campaign {

// Merges `source` into `target` in place: nested mappings are merged, lists
// concatenated, everything else replaced by the very object held by `source`.
void recursive_update(PyObject* target, PyObject* source);

// True for dicts and for anything registered as a collections.abc.Mapping.
bool is_mapping(PyObject* obj);

} // namespace korvo::campaign
