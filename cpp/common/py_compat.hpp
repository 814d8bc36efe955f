// Calls of newer CPython releases, provided for the older hosts the modules also serve.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x03090000
inline PyObject* PyObject_CallNoArgs(PyObject* callable) {
    return PyObject_CallObject(callable, nullptr);
}
inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
inline PyObject* PyObject_CallMethodNoArgs(PyObject* obj, PyObject* name) {
    return PyObject_CallMethodObjArgs(obj, name, nullptr);
}
inline PyObject* PyObject_CallMethodOneArg(PyObject* obj, PyObject* name, PyObject* arg) {
    return PyObject_CallMethodObjArgs(obj, name, arg, nullptr);
}
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif
