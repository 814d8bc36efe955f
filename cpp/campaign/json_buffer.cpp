#include "campaign/json_buffer.hpp"

namespace korvo::campaign {

void JsonBuffer::grow(size_t needed) {
    size_t capacity = capacity_ ? capacity_ : 1024;
    while (capacity < needed)
        capacity += capacity / 2 + capacity / 4 + 1;
    if (!text_) {
        text_ = PyUnicode_New(Py_ssize_t(capacity), 127);
        if (!text_) throw nb::python_error();
    } else if (PyUnicode_Resize(&text_, Py_ssize_t(capacity)) < 0) {
        throw nb::python_error();
    }
    data_ = static_cast<char*>(PyUnicode_DATA(text_));
    capacity_ = capacity;
}

nb::object JsonBuffer::finish() {
    if (!text_) return check(PyUnicode_New(0, 127));
    if (PyUnicode_Resize(&text_, Py_ssize_t(size_)) < 0) throw nb::python_error();
    PyObject* out = text_;
    text_ = nullptr;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return nb::steal(out);
}

} // namespace korvo::campaign
