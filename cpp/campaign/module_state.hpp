// Per-process state of the campaign module: its namespace and its node classes.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign {

enum class NodeKind { Base, Campaign, Task, Section, Plugin, Other };

struct ModuleState {
    PyObject* globals = nullptr; // the module's __dict__ (borrowed; the module is never unloaded)
    PyTypeObject* base_type = nullptr;
    PyTypeObject* campaign_type = nullptr;
    PyTypeObject* task_type = nullptr;
    PyTypeObject* section_type = nullptr;
    PyTypeObject* plugin_type = nullptr;
};

extern ModuleState state;

// A module attribute looked up at the time of use, as a Python global would be.
nb::object module_global(PyObject* name);

// Which of our own classes `obj` is exactly an instance of (Other for subclasses and strangers).
NodeKind exact_kind(PyObject* obj);

inline bool is_node(PyObject* obj) {
    return PyObject_TypeCheck(obj, state.base_type);
}

// isinstance(obj, <module global `class_name`>), with the global looked up at use.
bool is_instance_of_global(PyObject* obj, PyObject* class_name);

} // namespace korvo::campaign
