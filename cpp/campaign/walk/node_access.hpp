// Read access to node attributes for the serialisers.
#pragma once

#include <Python.h>

#include "campaign/model/module_state.hpp"

namespace korvo::campaign {

// The node's own __dict__ (a strong reference, so lookups that run a colliding key's
// __eq__ cannot free it); null when it has none.
nb::object held_instance_dict(PyObject* node);

// The class list `_ARG_ORDER` of a node (read from its class, as getattr would).
nb::object arg_order(PyObject* node);

// getattr(node, name, <absent>) for a listed name: null object when absent. Exact
// instances of our classes are read straight from their __dict__ (computed paths
// are computed); anything else goes through getattr.
nb::object read_listed(PyObject* node, PyObject* name);

// True when `value` is in VALUE_IGNORE: None, or equal to an empty list or empty dict.
bool is_ignored_value(PyObject* value);

} // namespace korvo::campaign
