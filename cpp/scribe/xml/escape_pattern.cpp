#include "scribe/xml/escape_pattern.hpp"

namespace korvo::scribe {

PyObject* escape_pattern() {
    // One character at a time: U+0000..U+0008, or ESC. Kept alive for the process.
    static PyObject* pattern = [] {
        static const char text[] = "[\x00-\x08]|\x1b";
        nb::object re = check(PyImport_ImportModule("re"));
        nb::object source = check(PyUnicode_FromStringAndSize(text, sizeof text - 1));
        return check(PyObject_CallMethod(re.ptr(), "compile", "O", source.ptr())).release().ptr();
    }();
    return pattern;
}

} // namespace korvo::scribe
