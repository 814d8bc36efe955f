// Following a node's parent links the general way (the quick form is id_chain.hpp). Links
// are plain attributes that Python code may set, so a chain can come back round.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

// The node's parent link, held (None when unset, also for a half-built node).
nb::object parent_of(PyObject* node);

// Reports a chain of parent links that comes back to a node it passed, instead of letting a
// walk loop forever. Constant memory (Brent's method): the walk ends within about three times
// the steps to the first repeated node.
class CycleCheck {
  public:
    // Call for each node reached; raises ValueError naming `node` once the chain has come round.
    void visit(PyObject* node);

  private:
    nb::object mark_;
    size_t steps_ = 0;
    size_t stride_ = 1;
};

} // namespace korvo::campaign
