// The quick form of a node's path: the ids from a node up to the first node below the top of
// the tree, read straight from the instance dicts of our own exact nodes. The model's fullid
// and idlist and the writers' path stack all walk up this way.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/py_support.hpp"

namespace korvo::campaign {

class IdChain {
  public:
    static constexpr size_t kMaxLength = 64;

    // Walks up from `node`, stopping before a top-level parent (none, None or a Campaign) or
    // before `stop_at` when that is met first. False when the quick form does not apply: a
    // node on the way is not one of our exact classes or lacks its id, or the chain is longer
    // than kMaxLength (also a cycle of parent links); the caller then walks the general way.
    // The ids are held strongly: a lookup may run a colliding key's __eq__, which may replace
    // them.
    bool walk(PyObject* node, PyObject* stop_at = nullptr);

    IdChain() = default;
    ~IdChain() {
        for (size_t i = 0; i < size_; ++i)
            Py_DECREF(ids_[i]);
    }
    IdChain(const IdChain&) = delete;
    IdChain& operator=(const IdChain&) = delete;

    // The ids, innermost first (borrowed from the chain, valid while it lives).
    PyObject* const* ids() const { return ids_; }
    size_t size() const { return size_; }
    // Every id an exact str.
    bool text() const { return text_; }
    // The walk ended at `stop_at` rather than at the top.
    bool reached_stop() const { return reached_stop_; }

  private:
    PyObject* ids_[kMaxLength]; // owned, the first size_
    size_t size_ = 0;
    bool text_ = true;
    bool reached_stop_ = false;
};

// Whether the quick form answers at all: the module's Campaign is our own class.
bool quick_paths_apply();

} // namespace korvo::campaign
