#include "common/gc_pause.hpp"

#include "common/py_support.hpp"

namespace korvo {

namespace {

#if PY_VERSION_HEX < 0x030A0000
// Hosts before 3.10 have no C calls for this; the gc module's functions are used.
nb::object gc_call(const char* name) {
    nb::object gc = check(PyImport_ImportModule("gc"));
    return check(PyObject_CallMethod(gc.ptr(), name, nullptr));
}
#endif

// Returns whether collection was enabled before.
bool disable_collection() {
#if PY_VERSION_HEX >= 0x030A0000
    return PyGC_Disable() != 0;
#else
    bool was = truthy(gc_call("isenabled").ptr());
    if (was) gc_call("disable");
    return was;
#endif
}

void enable_collection() {
#if PY_VERSION_HEX >= 0x030A0000
    PyGC_Enable();
#else
    gc_call("enable");
#endif
}

} // namespace

GcPause::GcPause() : was_enabled_(disable_collection()) {}

GcPause::~GcPause() {
    if (!was_enabled_) return;
    // Runs while an error may be propagating: keep it, and never throw from here.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
        enable_collection();
    } catch (nb::python_error& e) {
        e.restore();
        PyErr_WriteUnraisable(nullptr);
    }
    PyErr_Restore(type, value, trace);
}

} // namespace korvo
