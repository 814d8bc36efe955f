// The report tree's node operations. A node keeps its attributes in its instance
// __dict__ (values held by reference, never copied); these functions implement the
// behaviour of each class on top of that.
#pragma once

#include <Python.h>

#include "campaign/model/module_state.hpp"

namespace korvo::campaign {

// Construction: the base part, then the part each class adds.
void init_base(PyObject* self, PyObject* id, PyObject* seq_num, PyObject* parent, PyObject* type);
void init_campaign(PyObject* self);
void init_task(PyObject* self);
void init_section(PyObject* self);
void init_plugin(PyObject* self);

// Computed paths.
nb::object fullid(PyObject* self);
nb::object idlist(PyObject* self);

// The base operations.
void base_start(PyObject* self, PyObject* kwargs);
void base_stop(PyObject* self, PyObject* kwargs);
void base_update(PyObject* self, PyObject* data);
void base_update_extra(PyObject* self, PyObject* data);
void base_add_detail(PyObject* self, PyObject* detail);
void base_roll_up(PyObject* self);

// Each class's replacements.
void campaign_stop(PyObject* self, PyObject* kwargs);
void campaign_roll_up(PyObject* self);
// summary.weight := tasks that started (plugins aside) / `announced`, when that is > 0.
void weigh_task_counter(PyObject* self, PyObject* announced);
void task_stop(PyObject* self, PyObject* kwargs);
void task_roll_up(PyObject* self);
void section_start(PyObject* self, PyObject* kwargs);
void section_stop(PyObject* self, PyObject* kwargs);
void plugin_start(PyObject* self, PyObject* kwargs);
void plugin_stop(PyObject* self, PyObject* kwargs);
void plugin_roll_up(PyObject* self);

// Adding children: make a node of the module's class `class_name` with parent=self.
nb::object add_child(PyObject* self, PyObject* list_name, PyObject* class_name, PyObject* kwargs,
                     const char* method);

// Calls that reach a subclass's override, or a method replaced on one of our classes;
// our own unpatched classes skip the Python-level lookup.
void call_roll_up(PyObject* node);
void call_update(PyObject* node, PyObject* data);
void call_update_extra(PyObject* node, PyObject* data);

} // namespace korvo::campaign
