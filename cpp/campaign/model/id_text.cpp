#include "campaign/model/id_text.hpp"

#include <cstring>

namespace korvo::campaign {

nb::object join_text_ids(PyObject* const* ids, size_t n) {
    if (n == 1) return nb::borrow(ids[0]);
    Py_ssize_t size = Py_ssize_t(n) - 1;
    Py_UCS4 maxchar = '.';
    for (size_t i = 0; i < n; ++i) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(ids[i]) < 0) throw nb::python_error();
#endif
        size += PyUnicode_GET_LENGTH(ids[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(ids[i]);
        if (m > maxchar) maxchar = m;
    }
    nb::object out = check(PyUnicode_New(size, maxchar));
    Py_ssize_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i) PyUnicode_WRITE(PyUnicode_KIND(out.ptr()), PyUnicode_DATA(out.ptr()), at++, '.');
        Py_ssize_t len = PyUnicode_GET_LENGTH(ids[i]);
        if (maxchar < 128) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(out.ptr())) + at, PyUnicode_DATA(ids[i]),
                        size_t(len));
        } else if (PyUnicode_CopyCharacters(out.ptr(), at, ids[i], 0, len) < 0) {
            throw nb::python_error();
        }
        at += len;
    }
    return out;
}

} // namespace korvo::campaign
