// ISO 8601 texts of dates and date-times, as date.isoformat() and datetime.isoformat(' ')
// give them; the one formatter both writers use.
#pragma once

#include <Python.h>

#include <string>

namespace korvo {

// Imports the interpreter's date-time C API; called once when a module loads.
void init_iso_datetime();

// isinstance(obj, datetime.datetime)
bool is_datetime(PyObject* obj);
// type(obj) is datetime.datetime
bool is_exact_datetime(PyObject* obj);
// type(obj) is datetime.date
bool is_exact_date(PyObject* obj);
// A date-time without a tzinfo (so without an offset to ask for).
bool has_no_tzinfo(PyObject* datetime);

// Appends "YYYY-MM-DD" for a date or date-time.
void append_iso_date(std::string& out, PyObject* date);
// Appends "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]" for a date-time; the offset
// comes from its tzinfo's utcoffset(obj), checked as isoformat checks it.
void append_iso_datetime(std::string& out, PyObject* datetime);

} // namespace korvo
