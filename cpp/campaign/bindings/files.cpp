// The native half of korvo.reporter.files: Python code writes its files through the same
// safe replacement as the native writers.
#include <Python.h>

#include "campaign/bindings/bindings.hpp"
#include "common/py_support.hpp"
#include "files/safe_file.hpp"

namespace korvo::campaign {

namespace {

// A buffer export that is released on every path out.
struct BufferView {
    Py_buffer view{};
    explicit BufferView(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) throw nb::python_error();
    }
    ~BufferView() { PyBuffer_Release(&view); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
};

void write_file(nb::handle path, nb::handle data) {
    if (PyUnicode_Check(data.ptr())) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &len);
        if (!utf8) throw nb::python_error();
        // The text's UTF-8 form lives as long as the text, which the caller holds.
        files::write_file(path, utf8, (size_t)len);
        return;
    }
    if (!PyObject_CheckBuffer(data.ptr()))
        raise(PyExc_TypeError, "data must be str or a bytes-like object");
    BufferView bytes(data.ptr());
    files::write_file(path, static_cast<const char*>(bytes.view.buf), (size_t)bytes.view.len);
}

} // namespace

void bind_files(nb::module_& m) {
    m.def("_write_file", &write_file, nb::arg("path"), nb::arg("data"),
          "Replaces the file at `path` with `data` (str as UTF-8, or bytes).");
}

} // namespace korvo::campaign
