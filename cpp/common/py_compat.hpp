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

// The interpreter's private lookups, used only through these names so that a release that
// renames or replaces one needs a change here alone.
namespace korvo {

// What `type` resolves `name` to along its MRO, without calling descriptors (borrowed;
// null when absent).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The slot of an object's instance __dict__ (null when its type has none).
inline PyObject** instance_dict_slot(PyObject* obj) {
    return _PyObject_GetDictPtr(obj);
}

// getattr without the AttributeError: 1 and *out set when found, 0 with *out null when
// absent, -1 with an error set otherwise.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

} // namespace korvo
