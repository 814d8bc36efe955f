// ISO 8601 texts of dates and date-times, as date.isoformat() and datetime.isoformat(' ')
// give them; the one formatter both writers use, and the one parser every reader uses. Being where
// the interpreter's date-time C API is imported, this is also where the modules' other direct
// date-time reads live.
#pragma once

#include <Python.h>

#include <string>

#include "common/py_support.hpp"

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

// The date or date-time a text written by append_iso_date or append_iso_datetime stands for,
// read in exactly that spelling: any other text (other separators, a zero fraction written
// out, an offset spelled differently) or fields out of range give a null object and leave no
// error set, so what one reader takes for a date-time every reader takes. An offset comes
// back as a fixed datetime.timezone.
nb::object date_from_iso(const char* text, size_t n);
nb::object datetime_from_iso(const char* text, size_t n, int fold = 0);

// The whole microseconds of a datetime.timedelta (subclasses too) in `us`; false, with
// nothing read, for any other object.
bool timedelta_microseconds(PyObject* obj, long long& us);

// An exact datetime.datetime with its microseconds set to 0 (itself when already 0), made
// without calling replace(); null for any other object.
nb::object exact_datetime_whole_second(PyObject* obj);

} // namespace korvo
