// Small helpers over the CPython API shared by both modules.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>

#include "common/py_compat.hpp"

namespace korvo {

namespace nb = nanobind;

// Takes ownership of a new reference, turning a NULL result into the pending Python error.
inline nb::object check(PyObject* obj) {
    if (!obj) throw nb::python_error();
    return nb::steal(obj);
}

inline void check_status(int status) {
    if (status < 0) throw nb::python_error();
}

inline bool truthy(PyObject* obj) {
    int r = PyObject_IsTrue(obj);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// getattr(obj, name, <absent>) without paying for an AttributeError when absent.
// Returns a null object when the attribute does not exist; other errors propagate.
inline nb::object optional_attr(PyObject* obj, PyObject* name) {
    PyObject* out = nullptr;
    int r = get_optional_attr(obj, name, &out);
    if (r < 0) throw nb::python_error();
    return nb::steal(out);
}

// The exception instance of a caught error. Before 3.12 an error raised from C may be held
// as its type and a bare argument (or none) until something asks for the instance.
inline nb::object exception_object(const nb::python_error& e) {
    PyObject* value = e.value().ptr();
    if (value && PyExceptionInstance_Check(value)) return nb::borrow(value);
    PyObject *type = e.type().ptr(), *traceback = nullptr;
    Py_XINCREF(type);
    Py_XINCREF(value);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value ? nb::steal(value) : nb::none();
}

// A failure of a value's own code (its repr raised) or shape (nested too deep), rather than
// the interpreter running out of memory or being interrupted (KeyboardInterrupt, SystemExit):
// only such a failure may be recorded in place of the value instead of reaching the caller.
inline bool is_value_failure(const nb::python_error& e) {
    return e.matches(PyExc_Exception) && !e.matches(PyExc_MemoryError);
}

// A failure that says something about the value being read (AttributeError, a property's
// own error), rather than about the interpreter running out of memory or stack or being
// interrupted: only such a failure may be taken to mean "absent".
inline bool is_ordinary_failure(const nb::python_error& e) {
    return is_value_failure(e) && !e.matches(PyExc_RecursionError);
}

// getattr(obj, name), where an ordinary failure to read counts as absent (a null object).
inline nb::object readable_attr(PyObject* obj, PyObject* name) {
    try {
        return optional_attr(obj, name);
    } catch (nb::python_error& e) {
        if (!is_ordinary_failure(e)) throw;
        return nb::object();
    }
}

// getattr(obj, name, None)
inline nb::object attr_or_none(PyObject* obj, PyObject* name) {
    nb::object v = optional_attr(obj, name);
    return v ? v : nb::none();
}

inline nb::object get_attr(PyObject* obj, PyObject* name) {
    return check(PyObject_GetAttr(obj, name));
}

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(obj, name, value));
}

// True when `obj`'s own __dict__ holds `name`, which then shadows a method of its class.
inline bool instance_shadows(PyObject* obj, PyObject* name) {
    PyObject** dict = instance_dict_slot(obj);
    if (!dict || !*dict) return false;
    PyObject* found = PyDict_GetItemWithError(*dict, name);
    if (!found && PyErr_Occurred()) throw nb::python_error();
    return found != nullptr;
}

// Deepest nesting any native walk descends to, whatever the interpreter's recursion limit
// says: a limit raised for deep Python code must not let native frames overflow the stack.
constexpr int kMaxNativeDepth = 10000;

namespace detail {
// Per-thread count of native walk levels entered in this module.
inline thread_local int native_depth = 0;
// True when the calling thread's stack is too close to its end for another level.
bool stack_nearly_full();
// Bytes the calling thread may still use below this frame before the guard refuses to go
// deeper; SIZE_MAX when the stack's extent is unknown.
size_t stack_room();
} // namespace detail

// One level of a native recursive walk. Counts against the interpreter's recursion limit,
// the hard depth cap and the thread's remaining stack, so deep or cyclic data raises
// RecursionError instead of overflowing the C stack.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        // From 3.12 on Py_EnterRecursiveCall counts against a fixed C limit instead of the
        // recursion limit, so the limit is applied here too, as earlier releases did.
        if (detail::native_depth >= kMaxNativeDepth ||
            detail::native_depth >= Py_GetRecursionLimit() || detail::stack_nearly_full()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw nb::python_error();
        }
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
        ++detail::native_depth;
    }
    ~RecursionGuard() {
        --detail::native_depth;
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// globals[name], read when used as a Python global is (callers may substitute it); NameError
// when unset.
inline nb::object module_attr(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// Interns a name once; the result lives for the life of the process.
inline PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

// A number of seconds (a float, or an int a float can hold) that is finite; false for
// anything else, a 400-digit int included, with no Python error left.
inline bool finite_seconds(PyObject* value, double& out) {
    if (!value || PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value)))
        return false;
    out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    return std::isfinite(out);
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

} // namespace korvo
