#include "campaign/model/result_class.hpp"

#include <cstring>

namespace korvo::campaign {

bool result_named(PyObject* text, const char* word) {
    if (!PyUnicode_Check(text)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n != Py_ssize_t(std::strlen(word))) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != Py_UCS4(static_cast<unsigned char>(word[i]))) return false;
    }
    return true;
}

ResultClass result_class_of_name(PyObject* text) {
    if (!PyUnicode_Check(text)) return ResultClass::Fail;
    if (result_named(text, "passed") || result_named(text, "passx")) return ResultClass::Pass;
    if (result_named(text, "skipped")) return ResultClass::Skip;
    return ResultClass::Fail;
}

const char* result_class_word(ResultClass c) {
    switch (c) {
    case ResultClass::Pass:
        return "pass";
    case ResultClass::Skip:
        return "skip";
    default:
        return "fail";
    }
}

} // namespace korvo::campaign
