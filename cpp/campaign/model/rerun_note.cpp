#include "campaign/model/rerun_note.hpp"

#include <cstring>

#include "campaign/model/interned.hpp"

namespace korvo::campaign {

namespace {
constexpr const char kPrefix[] = "rerun: ";
constexpr Py_ssize_t kPrefixLength = sizeof kPrefix - 1;
} // namespace

nb::object rerun_note(PyObject* replaced) {
    nb::object result = attr_or_none(replaced, interned.result);
    if (result.is_none()) return check(PyUnicode_FromFormat("%swas without result", kPrefix));
    nb::object text = check(PyObject_Str(result.ptr()));
    nb::object lower = check(PyObject_CallMethodNoArgs(text.ptr(), interned.lower));
    return check(PyUnicode_FromFormat("%swas %U", kPrefix, lower.ptr()));
}

bool read_rerun_note(PyObject* detail, nb::object& history) {
    // exact str only: a subclass's methods could run Python code here
    if (!PyUnicode_CheckExact(detail) || PyUnicode_GET_LENGTH(detail) <= kPrefixLength)
        return false;
    for (Py_ssize_t i = 0; i < kPrefixLength; ++i)
        if (PyUnicode_READ_CHAR(detail, i) != Py_UCS4(kPrefix[i])) return false;
    history = check(PyUnicode_Substring(detail, kPrefixLength, PyUnicode_GET_LENGTH(detail)));
    return true;
}

} // namespace korvo::campaign
