// The text form of date-times in the JSON output: what isoformat(' ') gives.
#pragma once

#include <Python.h>

#include <string>

namespace korvo::campaign {

// Imports the interpreter's date-time C API; called once when the module loads.
void init_datetime_text();

// isinstance(obj, datetime.datetime)
bool is_datetime(PyObject* obj);
// type(obj) is datetime.datetime
bool is_exact_datetime(PyObject* obj);

// Appends "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]" for a date-time `obj`;
// the offset comes from its tzinfo's utcoffset(obj), checked as isoformat checks it.
void append_datetime_text(std::string& out, PyObject* obj);

} // namespace korvo::campaign
