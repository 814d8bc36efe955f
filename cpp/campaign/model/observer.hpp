// Lets one watcher follow every change made to report trees through the model's operations.
// The model only reports; what is done with the reports (a journal, say) lives elsewhere.
#pragma once

#include <Python.h>

#include <cstdint>

namespace korvo::campaign {

// What a watcher keeps on a node it follows. It lives in the C++ part of every report node,
// so finding a node's watcher costs no table lookup on the model's hot path.
struct WatchSlot {
    void* watcher = nullptr;
    uint32_t number = 0;
};

// The C++ part of every report node; node state itself lives in the instance __dict__.
struct ReportObjectBase {
    WatchSlot watch;
};

// The slot of a report node whose C++ part is constructed; null for anything else (a
// subclass whose __init__ never reached ours, say).
WatchSlot* watch_slot(PyObject* obj);

class TreeObserver {
  public:
    virtual ~TreeObserver() = default;
    // `attr` of `node` was set, deleted or changed in place.
    virtual void changed(PyObject* node, PyObject* attr) = 0;
    // `child` was appended to the list attribute `list_name` of `parent`.
    virtual void added(PyObject* parent, PyObject* list_name, PyObject* child) = 0;
    // `node`'s stop has run (times, data and roll-up).
    virtual void stopped(PyObject* node) = 0;
    // The outermost operation has ended: what it changed is complete. With `failing` set an
    // exception is on its way out, so this must not raise.
    virtual void operation_done(bool failing) = 0;
};

// Null unless some tree is watched, so an unwatched model pays one branch per report.
extern TreeObserver* tree_observer;

inline void report_changed(PyObject* node, PyObject* attr) {
    if (tree_observer) tree_observer->changed(node, attr);
}
inline void report_added(PyObject* parent, PyObject* list_name, PyObject* child) {
    if (tree_observer) tree_observer->added(parent, list_name, child);
}
inline void report_stopped(PyObject* node) {
    if (tree_observer) tree_observer->stopped(node);
}

// Brackets one public operation; operations nest (a subclass's override calling the base),
// and the observer hears when the outermost one ends. The depth is counted per thread: an
// operation on another thread, while this one waits inside a call into Python, ends on its own.
// Call finish() on the normal path: it may raise; the destructor covers the exceptional one.
class ObservedOperation {
  public:
    ObservedOperation() { ++depth_; }
    ~ObservedOperation() {
        if (!finished_ && --depth_ == 0 && tree_observer) tree_observer->operation_done(true);
    }
    void finish() {
        finished_ = true;
        if (--depth_ == 0 && tree_observer) tree_observer->operation_done(false);
    }
    ObservedOperation(const ObservedOperation&) = delete;
    ObservedOperation& operator=(const ObservedOperation&) = delete;

  private:
    static thread_local int depth_;
    bool finished_ = false;
};

// The nodes' attribute assignment: reported as a change, each its own operation when made from
// Python. It is the node classes' slot from their creation on, so that the `__setattr__` they
// show, and with it every subclass made in Python, reaches it too.
int observed_setattro(PyObject* self, PyObject* name, PyObject* value);

} // namespace korvo::campaign
