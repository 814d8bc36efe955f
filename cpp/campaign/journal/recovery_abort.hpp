// The last step of recovery: nodes that were started and never stopped are stopped as Aborted.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign::journal {

// Stops each node of `open` (nodes in the order they were made) as its stop would have, with
// the result Aborted and the detail line `detail`, children before parents: at its last
// recorded moment (the latest start or stop on it or below it, as the journal left them,
// that compares with its start), without reading log files again. One pass over the tree,
// whatever its shape: a node listed below itself, or twice, is walked once. Returns the
// aborted nodes in the order they were stopped; a node that cannot be stopped raises
// ValueError naming it.
nb::object abort_open_nodes(PyObject* open, PyObject* detail);

} // namespace korvo::campaign::journal
