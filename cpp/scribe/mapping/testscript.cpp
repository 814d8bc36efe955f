// One task (or job-level plugin) onto a legacy test script, its top-level sections
// dispatched to the common-section and test-case handlers.
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/escape.hpp"

namespace korvo::scribe {

namespace {

// Name and directory of a script path, split at its last "/" the way the path
// functions of the host split a POSIX path.
void copy_script_path(PyObject* kyts, PyObject* testscript) {
    if (!PyUnicode_Check(testscript)) {
        PyErr_Format(PyExc_TypeError, "testscript must be str, not %.200s",
                     Py_TYPE(testscript)->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t len = PyUnicode_GET_LENGTH(testscript);
    Py_ssize_t slash = PyUnicode_FindChar(testscript, '/', 0, len, -1);
    if (slash == -2) throw nb::python_error();
    nb::object name, path;
    if (slash < 0) {
        name = nb::borrow(testscript);
        path = nb::borrow(scribe_constants.empty_text);
    } else {
        name = check(PyUnicode_Substring(testscript, slash + 1, len));
        // Trailing slashes go, unless the directory part is nothing but slashes.
        Py_ssize_t end = slash + 1;
        while (end > 0 && PyUnicode_READ_CHAR(testscript, end - 1) == '/')
            --end;
        path = check(PyUnicode_Substring(testscript, 0, end == 0 ? slash + 1 : end));
    }
    nb::object script = get_path(kyts, {scribe_interned.initinfo, scribe_interned.script});
    set_attr(script.ptr(), scribe_interned.name, name.ptr());
    set_attr(script.ptr(), scribe_interned.path, path.ptr());
}

void add_common_section(PyObject* self, PyObject* kyts, PyObject* sect, PyObject* sectionid) {
    nb::object add = get_attr(kyts, scribe_interned.add_testsection);
    nb::object kycommsect = call(add.ptr(), {sectionid}, scribe_constants.kw_sectionid);
    run_handler(self, Handler::CommonSection, kycommsect.ptr(), sect);
}

void add_test_case(PyObject* self, PyObject* kyts, PyObject* sect) {
    nb::object tcid = identifier(required(sect, scribe_interned.id).ptr());
    nb::object logfilepath = nb::borrow(scribe_constants.empty_text);
    nb::object logs = optional(sect, scribe_interned.logs);
    if (truthy(logs.ptr()))
        logfilepath = identifier(
            mapping_get(logs.ptr(), scribe_interned.file, scribe_constants.empty_text).ptr());
    nb::object add = get_attr(kyts, scribe_interned.add_testcase);
    nb::object kytc =
        call(add.ptr(), {tcid.ptr(), logfilepath.ptr()}, scribe_constants.kw_tcid_logfilepath);
    run_handler(self, Handler::TestCase, kytc.ptr(), sect);
}

} // namespace

nb::object handle_testscript(PyObject* self, PyObject* kyts, PyObject* task) {
    copy_timing(kyts, task);

    nb::object parameters = optional(task, scribe_interned.parameters);
    if (truthy(parameters.ptr())) {
        nb::object pargs = escape(text_form(parameters.ptr()).ptr());
        set_attr(get_attr(kyts, scribe_interned.initinfo).ptr(), scribe_interned.pargs,
                 pargs.ptr());
    }

    nb::object description = escaped_description(task);
    if (description)
        set_attr(get_attr(kyts, scribe_interned.initinfo).ptr(), scribe_interned.description,
                 description.ptr());

    nb::object logfile = optional(task, scribe_interned.logfile);
    if (truthy(logfile.ptr()))
        set_attr(get_path(kyts, {scribe_interned.initinfo, scribe_interned.logfile}).ptr(),
                 scribe_interned.filepath, identifier(logfile.ptr()).ptr());

    nb::object testscript = optional(task, scribe_interned.testscript);
    if (truthy(testscript.ptr())) copy_script_path(kyts, testscript.ptr());

    nb::object summary = required(task, scribe_interned.summary);
    call_method(get_attr(kyts, scribe_interned.summary).ptr(), scribe_interned.update,
                {summary.ptr()});

    copy_details(kyts, required(task, scribe_interned.details).ptr());

    nb::object sections = required(task, scribe_interned.sections);
    for_each_item(sections.ptr(), [&](PyObject* sect) {
        nb::object type = required(sect, scribe_interned.type);
        if (equals(type.ptr(), scribe_constants.common_setup))
            add_common_section(self, kyts, sect, scribe_constants.common_setup_id);
        else if (equals(type.ptr(), scribe_constants.common_cleanup))
            add_common_section(self, kyts, sect, scribe_constants.common_cleanup_id);
        else
            add_test_case(self, kyts, sect);
    });
    return nb::borrow(kyts);
}

} // namespace korvo::scribe
