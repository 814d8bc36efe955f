// TEMPORARY, DELETE AT MERGE: stand-ins of escape(), escape_data() and
// pretty_print_element() so that the export builds and runs before the native
// escaping and pretty-printer land. The escaping runs a small Python version of the
// same rules; the pretty-printer always declines, so the driver takes the DOM
// library path.
#include "scribe/escape.hpp"
#include "scribe/xml_pretty.hpp"

namespace korvo::scribe {

namespace {

const char* const temp_source = R"PY(
import re
_pattern = re.compile("[\x00-\x08]|\x1b")

def _repl(match):
    return "\\x{:>02x}".format(ord(match.group(0)))

def escape(string):
    return _pattern.sub(_repl, string).encode("utf-8", "backslashreplace").decode("utf-8")

def escape_data(data):
    if isinstance(data, str):
        return escape(data)
    if isinstance(data, list):
        return [escape_data(x) for x in data]
    if isinstance(data, dict):
        out = {}
        for k, v in (data.items() if type(data) is not dict else dict.items(data)):
            out[escape_data(k)] = escape_data(v)
        return out
    if isinstance(data, tuple):
        return tuple(escape_data(x) for x in data)
    return data
)PY";

PyObject* temp_function(const char* name) {
    static PyObject* ns = nullptr;
    if (!ns) {
        nb::object dict = check(PyDict_New());
        check_status(PyDict_SetItemString(dict.ptr(), "__builtins__", PyEval_GetBuiltins()));
        check(PyRun_String(temp_source, Py_file_input, dict.ptr(), dict.ptr()));
        ns = dict.release().ptr();
    }
    PyObject* fn = PyDict_GetItemString(ns, name);
    if (!fn) raise(PyExc_RuntimeError, "temporary escaping stand-in is incomplete");
    return fn;
}

} // namespace

nb::object escape(PyObject* text) {
    return check(PyObject_CallFunctionObjArgs(temp_function("escape"), text, nullptr));
}

nb::object escape_data(PyObject* data) {
    return check(PyObject_CallFunctionObjArgs(temp_function("escape_data"), data, nullptr));
}

bool pretty_print_element(PyObject*, std::string&) {
    return false;
}

} // namespace korvo::scribe
