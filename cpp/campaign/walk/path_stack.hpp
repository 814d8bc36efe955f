// The ids from the top of the tree down to each node a serialiser is inside. A child whose
// parent link is the node being written extends that node's path by its own id instead of
// walking up the tree again; any other node walks up as the computed attributes do.
#pragma once

#include <Python.h>

#include <vector>

#include "common/py_support.hpp"

namespace korvo::campaign {

class PathStack {
    struct Frame {
        PyObject* node;    // owned
        size_t begin, end; // the path in ids_
        size_t own;        // first id pushed for this frame
        bool valid, text;
        PyObject* fullid; // owned, built on demand
    };

  public:
    PathStack();
    ~PathStack();
    PathStack(const PathStack&) = delete;
    PathStack& operator=(const PathStack&) = delete;

    // The path of one node for as long as it is being written. Only exact instances of our
    // classes get one; for anything else (and for chains the quick form does not cover)
    // valid() is false and the caller reads the attributes.
    class Scope {
      public:
        Scope(PathStack& stack, PyObject* node);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

        // idlist's elements, outermost first (borrowed; held until the scope ends).
        bool valid() const { return frame().valid; }
        PyObject* const* ids() const { return s_.ids_.data() + frame().begin; }
        size_t count() const { return frame().end - frame().begin; }
        // Whether fullid is these ids joined by "." (every id an exact str).
        bool text() const { return frame().text; }
        // The fullid as a str; null when !valid() || !text().
        nb::object fullid();

      private:
        Frame& frame() const { return s_.frames_[index_]; }
        PathStack& s_;
        size_t index_;
    };

  private:
    void push(PyObject* node);
    void pop();

    std::vector<Frame> frames_;
    std::vector<PyObject*> ids_; // owned
    bool quick_ = false;         // the module's Campaign is our own class
};

} // namespace korvo::campaign
