#include "campaign/model/log_files.hpp"

#include <sys/stat.h>

#include "campaign/model/interned.hpp"

namespace korvo::campaign {

namespace {

nb::object compute_base_name(PyObject* path) {
    nb::object text = check(PyOS_FSPath(path));
    if (PyUnicode_Check(text.ptr())) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
        Py_ssize_t slash = PyUnicode_FindChar(text.ptr(), '/', 0, len, -1);
        if (slash == -2) throw nb::python_error();
        return check(PyUnicode_Substring(text.ptr(), slash + 1, len));
    }
    const char* bytes = PyBytes_AS_STRING(text.ptr());
    Py_ssize_t len = PyBytes_GET_SIZE(text.ptr());
    Py_ssize_t start = len;
    while (start > 0 && bytes[start - 1] != '/')
        --start;
    return check(PyBytes_FromStringAndSize(bytes + start, len - start));
}

// The last text path asked about and its base name, held for the process's life: the
// nodes of a task name one log file, so they share one base-name text instead of each
// keeping a copy (60 MB at a million nodes).
PyObject* last_path = nullptr;
PyObject* last_base_name = nullptr;

} // namespace

nb::object base_name(PyObject* path) {
    // Only exact texts: a path-like object may answer differently each time.
    if (!PyUnicode_CheckExact(path)) return compute_base_name(path);
    if (last_path && (last_path == path || PyUnicode_Compare(last_path, path) == 0))
        return nb::borrow(last_base_name);
    nb::object name = compute_base_name(path);
    Py_INCREF(path);
    Py_XSETREF(last_path, path);
    Py_XSETREF(last_base_name, nb::object(name).release().ptr());
    return name;
}

nb::object file_size(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) throw nb::python_error();
    nb::object holder = nb::steal(encoded);
    struct stat info;
    if (stat(PyBytes_AS_STRING(encoded), &info) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        throw nb::python_error();
    }
    return check(PyLong_FromLongLong((long long)info.st_size));
}

void mark_log_begin(PyObject* logs, PyObject* logfile) {
    check_status(PyObject_SetItem(logs, interned.file, base_name(logfile).ptr()));
    check_status(PyObject_SetItem(logs, interned.begin, file_size(logfile).ptr()));
}

void mark_log_size(PyObject* logs, PyObject* logfile) {
    nb::object size = file_size(logfile);
    nb::object begin = check(PyObject_GetItem(logs, interned.begin));
    nb::object grown = check(PyNumber_Subtract(size.ptr(), begin.ptr()));
    check_status(PyObject_SetItem(logs, interned.size, grown.ptr()));
}

} // namespace korvo::campaign
