// Per-process state of the scribe module: its namespace, the Scribe class and the
// interned names and constants the export uses.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

struct ScribeNames {
#define SCRIBE_NAME(ident) PyObject* ident;
#include "scribe/runtime/scribe_names.def"
#undef SCRIBE_NAME
};

// Keyword-name tuples of the legacy calls made with named arguments only, and
// texts the export writes as they stand.
struct ScribeConstants {
    PyObject* kw_diag;             // ("diag",)
    PyObject* kw_sectionid;        // ("sectionid",)
    PyObject* kw_tcid_logfilepath; // ("tcid", "logfilepath")
    PyObject* kw_name;             // ("name",)
    PyObject* kw_id_name;          // ("id", "name")
    PyObject* kw_microsecond;      // ("microsecond",)
    PyObject* kw_encoding;         // ("encoding",)
    PyObject* kw_indent;           // ("indent",)
    PyObject* empty_text;          // ""
    PyObject* none_text;           // "None"
    PyObject* zero_text;           // "0"
    PyObject* utf8;                // "utf-8"
    PyObject* two_blanks;          // "  "
    PyObject* common_setup;        // "CommonSetup"
    PyObject* common_cleanup;      // "CommonCleanup"
    PyObject* common_setup_id;     // "commonSetup"
    PyObject* common_cleanup_id;   // "commonCleanup"
    PyObject* processor;           // "Processor"
    PyObject* minus_one;           // -1
    PyObject* zero;                // 0
};

struct ScribeState {
    PyObject* globals = nullptr; // the module's __dict__ (borrowed; the module is never unloaded)
    PyTypeObject* scribe_type = nullptr;
};

extern ScribeNames scribe_interned;
extern ScribeConstants scribe_constants;
extern ScribeState sstate;

void init_scribe_state(PyObject* module);

// A module attribute looked up at the time of use, so callers may substitute it.
nb::object scribe_global(PyObject* name);

} // namespace korvo::scribe
