// Rules every mapping handler shares: how node fields are read, the timing and
// details copies, display ids and the parts of a section record fill.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

// A required field: AttributeError when the node lacks it.
inline nb::object required(PyObject* node, PyObject* name) {
    return get_attr(node, name);
}

// An optional field: null when absent; a field present but null stays null.
inline nb::object optional(PyObject* node, PyObject* name) {
    return attr_or_none(node, name);
}

// mapping.get(key, dflt); plain dicts are read directly.
nb::object mapping_get(PyObject* mapping, PyObject* key, PyObject* dflt);

// obj.starttime/stoptime := node's; then obj's run time as below.
void copy_timing(PyObject* obj, PyObject* node);

// Reads obj's start and stop back; when both are set, obj.runtime := their difference
// with both ends truncated to the whole second. Otherwise runtime is left alone.
void copy_runtime(PyObject* obj);

// obj.runinfo.set_args(diag=escape(entry)) for each entry of `details`.
void copy_details(PyObject* obj, PyObject* details);

// The node's id, or "<id> <name>" for a node whose type ends with "Processor".
nb::object display_id(PyObject* node);

// An id, name or file name as the documents carry it: a text escaped as descriptions are
// (a control character or lone surrogate would make the whole document unreadable); any
// other value unchanged.
nb::object identifier(PyObject* value);

// escape(node.description) when the description is set; null otherwise.
nb::object escaped_description(PyObject* node);

// Steps 4 to 7 of a section record fill: cross-reference and log position on
// `holder`, result and details on `obj`.
void fill_record_body(PyObject* obj, PyObject* holder, PyObject* node);

// obj.extra.update(escape_data(extra))
void merge_extra(PyObject* obj, PyObject* extra);

// A section record that keeps its description in its extra mapping (common sections and
// test sections): timing, extra["description"], the record body, then the node's extra.
void fill_section_record(PyObject* record, PyObject* node);

// holder.id.attrs["name"] and holder.id.idtypevalue := `id`; then holder.name := node.name.
void set_identity(PyObject* holder, PyObject* id, PyObject* node);

} // namespace korvo::scribe
