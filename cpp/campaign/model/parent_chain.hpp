// Following a node's parent links: the one walk behind fullid, idlist and the writers' paths.
// Links are plain attributes that Python code may set, so a chain can come back round.
#pragma once

#include <Python.h>

#include <vector>

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

// The ids from just below the top of the tree down to `node`, outermost first, held, when
// every node on the way is an exact node of ours with its id in its __dict__ and the chain
// is short; `all_text` then says whether every id is an exact str. False otherwise (also for
// a chain that comes round): the caller then takes the general walk, which reports cycles.
bool exact_id_chain(PyObject* node, std::vector<nb::object>& ids, bool& all_text);

} // namespace korvo::campaign
