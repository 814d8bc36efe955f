#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

ScribeNames snames;
ScribeConstants sconst;
ScribeState sstate;

namespace {

PyObject* name_tuple(std::initializer_list<const char*> items) {
    PyObject* t = PyTuple_New((Py_ssize_t)items.size());
    if (!t) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char* item : items)
        PyTuple_SET_ITEM(t, i++, intern(item));
    return t;
}

} // namespace

void init_scribe_state(PyObject* module) {
#define SCRIBE_NAME(ident) snames.ident = intern(#ident);
#include "scribe/runtime/scribe_names.def"
#undef SCRIBE_NAME
    sconst.kw_diag = name_tuple({"diag"});
    sconst.kw_sectionid = name_tuple({"sectionid"});
    sconst.kw_tcid_logfilepath = name_tuple({"tcid", "logfilepath"});
    sconst.kw_name = name_tuple({"name"});
    sconst.kw_id_name = name_tuple({"id", "name"});
    sconst.kw_microsecond = name_tuple({"microsecond"});
    sconst.kw_encoding = name_tuple({"encoding"});
    sconst.kw_indent = name_tuple({"indent"});
    sconst.empty_text = intern("");
    sconst.none_text = intern("None");
    sconst.zero_text = intern("0");
    sconst.utf8 = intern("utf-8");
    sconst.two_blanks = intern("  ");
    sconst.common_setup = intern("CommonSetup");
    sconst.common_cleanup = intern("CommonCleanup");
    sconst.common_setup_id = intern("commonSetup");
    sconst.common_cleanup_id = intern("commonCleanup");
    sconst.processor = intern("Processor");
    sconst.minus_one = check(PyLong_FromLong(-1)).release().ptr();
    sconst.zero = check(PyLong_FromLong(0)).release().ptr();
    sstate.globals = PyModule_GetDict(module);
}

nb::object scribe_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(sstate.globals, name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

} // namespace korvo::scribe
