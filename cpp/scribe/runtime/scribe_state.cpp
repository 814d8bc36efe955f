#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

ScribeNames scribe_interned;
ScribeConstants scribe_constants;
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
#define SCRIBE_NAME(ident) scribe_interned.ident = intern(#ident);
#include "scribe/runtime/scribe_names.def"
#undef SCRIBE_NAME
    scribe_constants.kw_diag = name_tuple({"diag"});
    scribe_constants.kw_sectionid = name_tuple({"sectionid"});
    scribe_constants.kw_tcid_logfilepath = name_tuple({"tcid", "logfilepath"});
    scribe_constants.kw_name = name_tuple({"name"});
    scribe_constants.kw_id_name = name_tuple({"id", "name"});
    scribe_constants.kw_microsecond = name_tuple({"microsecond"});
    scribe_constants.kw_encoding = name_tuple({"encoding"});
    scribe_constants.kw_indent = name_tuple({"indent"});
    scribe_constants.empty_text = intern("");
    scribe_constants.none_text = intern("None");
    scribe_constants.zero_text = intern("0");
    scribe_constants.utf8 = intern("utf-8");
    scribe_constants.two_blanks = intern("  ");
    scribe_constants.common_setup = intern("CommonSetup");
    scribe_constants.common_cleanup = intern("CommonCleanup");
    scribe_constants.common_setup_id = intern("commonSetup");
    scribe_constants.common_cleanup_id = intern("commonCleanup");
    scribe_constants.processor = intern("Processor");
    scribe_constants.minus_one = check(PyLong_FromLong(-1)).release().ptr();
    scribe_constants.zero = check(PyLong_FromLong(0)).release().ptr();
    sstate.globals = PyModule_GetDict(module);
}

nb::object scribe_global(PyObject* name) {
    return module_attr(sstate.globals, name);
}

} // namespace korvo::scribe
