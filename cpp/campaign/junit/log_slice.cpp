#include "campaign/junit/log_slice.hpp"

#include <errno.h>

namespace korvo::campaign::junit {

namespace {

// An entry of a log position: a strong reference, or null when absent.
nb::object entry(PyObject* logs, const char* key) {
    PyObject* value = PyDict_GetItemString(logs, key);
    return nb::borrow(value);
}

bool whole_number(PyObject* value, long long& out) {
    if (!value || !PyLong_Check(value) || PyBool_Check(value)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0;
}

// Keeps a cut slice from ending inside a UTF-8 sequence, which would show as escapes.
size_t whole_characters(const std::string& data) {
    size_t n = data.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned char c = static_cast<unsigned char>(data[n - back]);
        if ((c & 0xc0) == 0x80) continue; // continuation byte
        size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        return length > back ? n - back : n;
    }
    return n;
}

} // namespace

bool LogReader::read(PyObject* logs, nb::object& text) {
    if (!PyDict_Check(logs)) return false;
    nb::object file = entry(logs, "file");
    nb::object begin_value = entry(logs, "begin");
    nb::object size_value = entry(logs, "size");
    long long begin = 0, size = 0;
    if (!file || !PyUnicode_Check(file.ptr()) || !whole_number(begin_value.ptr(), begin) ||
        !whole_number(size_value.ptr(), size) || begin < 0 || size <= 0)
        return false;
    std::string name;
    if (!files::LogDir::file_name(file.ptr(), name)) return false;
    files::LogDir::Open opened = files_.open(name);
    if (opened == files::LogDir::Open::Failed) {
        errno = files_.error();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, files_.path().c_str());
        throw nb::python_error();
    }
    // Nothing of it in the file (also a position far past any file's end): no slice.
    if (opened != files::LogDir::Open::Ok || begin >= files_.size()) return false;

    long long wanted = size < kLogSliceCap ? size : kLogSliceCap;
    std::string data;
    bool ok;
    Py_BEGIN_ALLOW_THREADS;
    ok = files_.read(begin, wanted, data);
    Py_END_ALLOW_THREADS;
    if (!ok) {
        errno = files_.error();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, files_.path().c_str());
        throw nb::python_error();
    }
    size_t got = data.size();
    bool cut = size > kLogSliceCap && got == size_t(wanted);
    if (cut) data.resize(whole_characters(data));

    // Bytes that are not UTF-8 stay visible as \xNN.
    text = check(PyUnicode_DecodeUTF8(data.data(), Py_ssize_t(data.size()), "backslashreplace"));
    nb::object note;
    if (cut) {
        note = check(PyUnicode_FromFormat("\n[log cut: the first %zd of %lld bytes are shown; the "
                                          "rest is in %U from byte %lld]\n",
                                          Py_ssize_t(data.size()), size, file.ptr(),
                                          begin + (long long)data.size()));
    } else if (got < size_t(wanted)) {
        note = check(PyUnicode_FromFormat(
            "\n[log file %U holds only %zd of the %lld bytes recorded from byte %lld]\n",
            file.ptr(), Py_ssize_t(got), size, begin));
    }
    if (note) text = check(PyUnicode_Concat(text.ptr(), note.ptr()));
    return true;
}

} // namespace korvo::campaign::junit
