#include "campaign/journal/value_reader.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/iso_datetime.hpp"

namespace korvo::campaign::journal {

ValueReader::ValueReader(JsonCursor& in, const std::vector<nb::object>& nodes, ReplayPoll& poll)
    : in_(in), nodes_(nodes), poll_(poll) {
    results_ = check(PyImport_ImportModule("korvo.results"));
    PyObject* builtins = PyImport_AddModule("builtins"); // borrowed; always loaded
    if (!builtins) throw nb::python_error();
    builtins_ = nb::borrow(builtins);
}

nb::object ValueReader::value() {
    poll_.step();
    char c = in_.peek();
    if (c == '"') return in_.text();
    if (c == '[' || c == '{') {
        RecursionGuard guard(" while reading the journal");
        if (c == '{') return object();
        nb::object list = numbered(check(PyList_New(0)));
        fill_list(list.ptr());
        return list;
    }
    if (c == 'n') {
        in_.expect("null");
        return nb::none();
    }
    if (c == 't') {
        in_.expect("true");
        return nb::borrow(Py_True);
    }
    if (c == 'f') {
        in_.expect("false");
        return nb::borrow(Py_False);
    }
    return in_.number();
}

nb::object ValueReader::numbered(nb::object obj) {
    objects_.push_back(obj);
    return obj;
}

nb::object ValueReader::object_at(long long n) {
    if (n < 0 || size_t(n) >= objects_.size()) throw Malformed("reference to an unknown object");
    return objects_[size_t(n)];
}

void ValueReader::fill_list(PyObject* list) {
    in_.expect('[');
    if (in_.accept(']')) return;
    do {
        nb::object item = value();
        check_status(PyList_Append(list, item.ptr()));
    } while (in_.accept(','));
    in_.expect(']');
}

// An array that stands for no object of its own (a tuple's items, exception arguments).
nb::object ValueReader::items() {
    RecursionGuard guard(" while reading the journal");
    nb::object list = check(PyList_New(0));
    fill_list(list.ptr());
    return list;
}

void ValueReader::fill_pairs(PyObject* target) {
    in_.expect('[');
    if (in_.accept(']')) return;
    do {
        in_.expect('[');
        nb::object key = value();
        in_.expect(',');
        nb::object item = value();
        in_.expect(']');
        check_status(PyObject_SetItem(target, key.ptr(), item.ptr()));
    } while (in_.accept(','));
    in_.expect(']');
}

// {"k":v,...} or {"$m":[[k,v],...]} into `target`.
void ValueReader::fill_dict(PyObject* target) {
    in_.expect('{');
    if (in_.accept('}')) return;
    std::string scratch;
    std::string_view key = in_.raw_text(scratch);
    in_.expect(':');
    if (key == "$m") {
        fill_pairs(target);
        in_.expect('}');
        return;
    }
    nb::object k = decode_text(key);
    while (true) {
        nb::object v = value();
        check_status(PyObject_SetItem(target, k.ptr(), v.ptr()));
        if (!in_.accept(',')) break;
        k = in_.text();
        in_.expect(':');
    }
    in_.expect('}');
}

void ValueReader::fill_counter(PyObject* counter) {
    fill_pairs(counter);
    if (in_.accept(',')) {
        in_.expect("\"w\":");
        nb::object weight = value();
        set_attr(counter, interned.weight, weight.ptr());
    }
}

nb::object ValueReader::object() {
    in_.expect('{');
    if (in_.accept('}')) return numbered(check(PyDict_New()));
    std::string scratch;
    std::string_view key = in_.raw_text(scratch);
    in_.expect(':');
    if (!key.empty() && key[0] == '$') {
        nb::object out = tagged(key);
        in_.expect('}');
        return out;
    }
    nb::object dict = numbered(check(PyDict_New()));
    nb::object k = decode_text(key);
    while (true) {
        nb::object v = value();
        check_status(PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()));
        if (!in_.accept(',')) break;
        k = in_.text();
        in_.expect(':');
    }
    in_.expect('}');
    return dict;
}

nb::object ValueReader::tagged(std::string_view tag) {
    if (tag == "$r") return object_at(in_.integer());
    if (tag == "$u") {
        nb::object target = object_at(in_.integer());
        in_.expect(",\"v\":");
        refill(target.ptr());
        return target;
    }
    if (tag == "$n") {
        long long n = in_.integer();
        if (n < 0 || size_t(n) >= nodes_.size()) throw Malformed("reference to an unknown node");
        return nodes_[size_t(n)];
    }
    if (tag == "$k") return named_result();
    if (tag == "$t") {
        nb::object named = named_result();
        nb::object made = check(PyObject_CallMethodObjArgs(named.ptr(), interned.clone, nullptr));
        while (in_.accept(',')) {
            std::string scratch;
            std::string_view field = in_.raw_text(scratch);
            in_.expect(':');
            nb::object v = value();
            set_attr(made.ptr(), field == "r" ? interned.reason : interned.data, v.ptr());
        }
        return made;
    }
    if (tag == "$c") {
        nb::object counter =
            check(PyObject_CallNoArgs(module_global(interned.ResultCounter).ptr()));
        fill_counter(counter.ptr());
        return counter;
    }
    if (tag == "$a") {
        nb::object mapping =
            numbered(check(PyObject_CallNoArgs(module_global(interned.AttrDict).ptr())));
        fill_dict(mapping.ptr());
        return mapping;
    }
    if (tag == "$m") {
        nb::object dict = numbered(check(PyDict_New()));
        fill_pairs(dict.ptr());
        return dict;
    }
    if (tag == "$tu") return check(PyList_AsTuple(items().ptr()));
    if (tag == "$b") return bytes_value();
    if (tag == "$i") {
        std::string scratch;
        std::string digits(in_.raw_text(scratch));
        return check(PyLong_FromString(digits.c_str(), nullptr, 0));
    }
    if (tag == "$f") {
        std::string scratch;
        std::string_view word = in_.raw_text(scratch);
        if (word == "nan") return check(PyFloat_FromDouble(Py_NAN));
        if (word == "inf") return check(PyFloat_FromDouble(Py_HUGE_VAL));
        if (word == "-inf") return check(PyFloat_FromDouble(-Py_HUGE_VAL));
        throw Malformed("bad float");
    }
    if (tag == "$D" || tag == "$T") return date_value(tag == "$T");
    if (tag == "$e") return exception_value();
    if (tag == "$?") return kept(in_.text());
    throw Malformed("unknown value tag " + std::string(tag));
}

// New contents for an object that changed in place, in its own value form.
void ValueReader::refill(PyObject* target) {
    RecursionGuard guard(" while reading the journal");
    if (PyList_CheckExact(target)) {
        check_status(PyList_SetSlice(target, 0, PyList_GET_SIZE(target), nullptr));
        return fill_list(target);
    }
    if (PyDict_CheckExact(target)) {
        PyDict_Clear(target);
        return fill_dict(target);
    }
    in_.expect('{');
    std::string scratch;
    std::string_view tag = in_.raw_text(scratch);
    in_.expect(':');
    if (tag != "$a" || !PyDict_Check(target)) throw Malformed("object changed its kind");
    PyDict_Clear(target);
    fill_dict(target);
    in_.expect('}');
}

// One of korvo.results' own named results, read from its namespace (never an attribute
// lookup, which could find anything the module imported).
nb::object ValueReader::named_result() {
    nb::object name = in_.text();
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(results_.ptr()), name.ptr());
    if (!found && PyErr_Occurred()) throw nb::python_error();
    nb::object result = nb::borrow(found);
    if (!result || Py_TYPE(found) != (PyTypeObject*)module_global(interned.TestResult).ptr())
        throw Malformed("unknown result name");
    return result;
}

nb::object ValueReader::bytes_value() {
    std::string scratch;
    std::string_view hex = in_.raw_text(scratch);
    if (hex.size() % 2) throw Malformed("bad bytes");
    nb::object out = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(hex.size() / 2)));
    char* raw = PyBytes_AS_STRING(out.ptr());
    for (size_t i = 0; i < hex.size() / 2; ++i) {
        int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) throw Malformed("bad bytes");
        raw[i] = char(hi << 4 | lo);
    }
    return out;
}

nb::object ValueReader::date_value(bool with_time) {
    std::string scratch;
    std::string_view s = in_.raw_text(scratch);
    nb::object out;
    if (!with_time) {
        out = date_from_iso(s.data(), s.size());
    } else {
        int fold = 0;
        if (in_.peek() == ',') {
            in_.expect(",\"f\":1");
            fold = 1;
        }
        out = datetime_from_iso(s.data(), s.size(), fold);
    }
    if (!out) throw Malformed("bad date");
    return out;
}

// Only the exception classes of builtins are made again, and nothing is imported: a file
// naming "module.Class" must not run that module. Any other is kept as its class path and
// arguments, like a value of an unknown type.
nb::object ValueReader::exception_value() {
    nb::object path = in_.text();
    in_.expect(",\"a\":");
    nb::object args = check(PyList_AsTuple(items().ptr()));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(path.ptr(), &n);
    if (!s) throw nb::python_error();
    std::string_view name(s, size_t(n));
    constexpr std::string_view kBuiltins = "builtins.";
    if (name.substr(0, kBuiltins.size()) == kBuiltins &&
        name.find('.', kBuiltins.size()) == std::string_view::npos) {
        nb::object cls_name = decode_text(name.substr(kBuiltins.size()));
        PyObject* cls = PyDict_GetItemWithError(PyModule_GetDict(builtins_.ptr()), cls_name.ptr());
        if (!cls && PyErr_Occurred()) throw nb::python_error();
        if (cls && PyExceptionClass_Check(cls)) {
            nb::object holder = nb::borrow(cls);
            try {
                return check(PyObject_Call(cls, args.ptr(), nullptr));
            } catch (nb::python_error& e) {
                if (!is_ordinary_failure(e)) throw;
            }
        }
    }
    return kept(check(PyUnicode_FromFormat("%U%R", path.ptr(), args.ptr())));
}

nb::object ValueReader::kept(nb::object text) {
    kept_.push_back(text);
    return text;
}

} // namespace korvo::campaign::journal
