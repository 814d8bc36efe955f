// One report tree from several (shards of a job, reruns of its failed parts).
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign::merge_trees {

// A new Campaign tree from the Campaign trees in `campaigns` (a list), in order:
// entries of `tasks` with an id seen before are merged into the first such entry, whose
// children seen again are replaced by the later ones (each replacement noting the
// result it replaced) and new ones appended; all counters are then recounted by the
// model's roll-ups. `sources` names the file each input came from (None for a live
// tree); `new_id`, unless None, becomes the merged campaign's id. The inputs are left
// as they were; values below the nodes are shared with them, not copied.
nb::object merge_campaigns(PyObject* campaigns, PyObject* sources, PyObject* new_id);

} // namespace korvo::campaign::merge_trees
