// The flat dictionary form of one node.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// Listed attributes in class-list order (absent ones skipped, values not copied),
// children lists replaced by lists of the children's ids, then seq_num, then logfile.
nb::object node_to_dict(PyObject* node);

} // namespace korvo::campaign
