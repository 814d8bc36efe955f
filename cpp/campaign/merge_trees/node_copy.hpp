// Copies of nodes for a new tree: the parent link is the new parent's, and the
// containers a merge changes (details, extra, the child list) are the copy's own.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign::merge_trees {

// A node of `node`'s class holding the same attribute values, below `parent`, with an
// empty child list (`tasks` or `sections`) and its own copies of `details` and `extra`.
nb::object copy_node(PyObject* node, PyObject* parent);

// copy_node for `node` and, below the copy, for every node of its subtree.
nb::object copy_subtree(PyObject* node, PyObject* parent);

// The child list a node keeps (`tasks` of a campaign, `sections` otherwise), or null.
nb::object child_list(PyObject* node);

} // namespace korvo::campaign::merge_trees
