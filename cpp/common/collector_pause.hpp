// Python's cyclic garbage collector paused for one native job that allocates no cycles of its
// own (a dump, an export) but would otherwise have the collector walk the whole report tree
// again and again. The caller's setting comes back on every exit, errors included.
#pragma once

#include "common/py_support.hpp"

namespace korvo {

class CollectorPause {
  public:
    CollectorPause() : was_enabled_(disable()) {}
    ~CollectorPause() {
        if (was_enabled_) enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

  private:
#if PY_VERSION_HEX >= 0x030A0000
    static bool disable() { return PyGC_Disable() != 0; }
    static void enable() { PyGC_Enable(); }
#else
    static nb::object gc() { return check(PyImport_ImportModule("gc")); }
    static bool disable() {
        nb::object was = check(PyObject_CallMethod(gc().ptr(), "isenabled", nullptr));
        check(PyObject_CallMethod(gc().ptr(), "disable", nullptr));
        return truthy(was.ptr());
    }
    static void enable() {
        // Restoring must not throw from a destructor: a failure here is reported and dropped.
        PyObject* mod = PyImport_ImportModule("gc");
        PyObject* r = mod ? PyObject_CallMethod(mod, "enable", nullptr) : nullptr;
        if (!r) PyErr_WriteUnraisable(nullptr);
        Py_XDECREF(r);
        Py_XDECREF(mod);
    }
#endif
    bool was_enabled_;
};

} // namespace korvo
