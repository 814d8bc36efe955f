// fullid and idlist of our own nodes built in one step, for the serialisers' hot path.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// The node's fullid, equal to the computed attribute, when the node and its ancestors
// up to the top are our exact classes with text ids; a null object otherwise (the caller
// then reads the attribute).
nb::object quick_fullid(PyObject* node);

// The node's idlist as a tuple (same elements, same JSON text as the computed list),
// under the same conditions; a null object otherwise.
nb::object quick_idlist(PyObject* node);

} // namespace korvo::campaign
