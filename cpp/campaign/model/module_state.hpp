// Per-process state of the campaign module: its namespace and its node classes.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

enum class NodeKind { Base, Campaign, Task, Section, Plugin, Other };

// The operations that the base calls on a node through the node's own class.
enum class Method { RollUp, Update, UpdateExtra };

struct ModuleState {
    PyObject* globals = nullptr; // the module's __dict__ (borrowed; the module is never unloaded)
    PyTypeObject* base_type = nullptr;
    PyTypeObject* campaign_type = nullptr;
    PyTypeObject* task_type = nullptr;
    PyTypeObject* section_type = nullptr;
    PyTypeObject* plugin_type = nullptr;
    // The native function each of our classes resolves a Method to at load, held
    // strongly so that a replaced one can never be mistaken for a new object.
    PyObject* native[5][3] = {};
};

extern ModuleState campaign_module;

// A module attribute looked up at the time of use, as a Python global would be.
nb::object module_global(PyObject* name);

// Which of our own classes `obj` is exactly an instance of (Other for subclasses and strangers).
NodeKind exact_kind(PyObject* obj);

inline bool is_node(PyObject* obj) {
    return PyObject_TypeCheck(obj, campaign_module.base_type);
}

// Remembers what each of our classes resolves every Method to; called once the classes exist.
void remember_native_methods();

// The kind of `obj` when it is one of our exact classes and that class still resolves
// `m` to the native function, so the call may skip Python's dispatch; Other when the
// class is a subclass, a stranger or had the method replaced (mock.patch.object, say).
NodeKind native_kind(PyObject* obj, Method m);

// isinstance(obj, <module global `class_name`>), with the global looked up at use.
bool is_instance_of_global(PyObject* obj, PyObject* class_name);

} // namespace korvo::campaign
