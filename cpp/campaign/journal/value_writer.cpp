#include "campaign/journal/value_writer.hpp"

#include <datetime.h>

#include <cmath>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/float_repr.hpp"
#include "common/iso_datetime.hpp"
#include "common/iteration.hpp"
#include "common/py_support.hpp"
#include "common/utf8.hpp"

namespace korvo::campaign::journal {

uint32_t NumberedObjects::number(PyObject* obj, bool& fresh) {
    uint32_t* found = numbers_.find(obj);
    fresh = !found;
    if (found) return *found;
    auto n = uint32_t(held_.size());
    numbers_.put(obj, n);
    Py_INCREF(obj);
    held_.push_back(obj);
    written_.push_back(0);
    return n;
}

uint64_t NumberedObjects::exchange_written(uint32_t n, uint64_t serial) {
    uint64_t before = written_[n];
    written_[n] = serial;
    return before;
}

void NumberedObjects::truncate(size_t count) {
    while (held_.size() > count) {
        numbers_.erase(held_.back());
        Py_DECREF(held_.back());
        held_.pop_back();
        written_.pop_back();
    }
}

void NumberedObjects::release() {
    numbers_.clear();
    for (PyObject* obj : held_)
        Py_DECREF(obj);
    held_.clear();
    written_.clear();
}

void TextCache::append(std::string& out, PyObject* s) {
    if (!PyUnicode_CheckExact(s) || !PyUnicode_CHECK_INTERNED(s)) return append_json_text(out, s);
    if (Span* found = spans_.find(s)) {
        out.append(texts_, found->at, found->length);
        return;
    }
    size_t start = out.size();
    append_json_text(out, s);
    if (held_.size() >= kMaxEntries) return;
    Span span{uint32_t(texts_.size()), uint32_t(out.size() - start)};
    texts_.append(out, start, span.length);
    spans_.put(s, span);
    Py_INCREF(s);
    held_.push_back(s);
}

void TextCache::release() {
    spans_.clear();
    for (PyObject* s : held_)
        Py_DECREF(s);
    held_.clear();
    texts_.clear();
}

namespace {

const char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, uint32_t c) {
    char buf[7] = {
        '\\', 'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15], 0};
    out.append(buf, 6);
}

void append_ascii_char(std::string& out, unsigned char c) {
    switch (c) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\t':
        out += "\\t";
        return;
    case '\r':
        out += "\\r";
        return;
    default:
        if (c < 0x20) return append_u_escape(out, c);
        out.push_back(char(c));
    }
}

// The exception's class as module.qualname; recovery rebuilds only those of builtins.
std::string class_path(PyTypeObject* t) {
    nb::object module = get_attr((PyObject*)t, intern("__module__"));
    nb::object qualname = get_attr((PyObject*)t, intern("__qualname__"));
    nb::object path = check(PyUnicode_FromFormat("%S.%S", module.ptr(), qualname.ptr()));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(path.ptr(), &n);
    if (!s) throw nb::python_error();
    return std::string(s, size_t(n));
}

bool plain_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    bool first = true;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        if (first && PyUnicode_GET_LENGTH(k) > 0 && PyUnicode_READ_CHAR(k, 0) == '$') return false;
        first = false;
    }
    return true;
}

} // namespace

void append_json_text(std::string& out, const char* s, size_t n) {
    out.push_back('"');
    for (size_t i = 0; i < n; ++i) {
        auto c = (unsigned char)s[i];
        if (c >= 0x80)
            out.push_back(char(c));
        else
            append_ascii_char(out, c);
    }
    out.push_back('"');
}

void append_json_text(std::string& out, PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        const char* data = (const char*)PyUnicode_DATA(s);
        out.push_back('"');
        size_t start = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto c = (unsigned char)data[i];
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            out.append(data + start, size_t(i) - start);
            append_ascii_char(out, c);
            start = size_t(i) + 1;
        }
        out.append(data + start, size_t(n) - start);
        out.push_back('"');
        return;
    }
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.push_back('"');
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80)
            append_ascii_char(out, (unsigned char)c);
        else if (c >= 0xD800 && c <= 0xDFFF)
            append_u_escape(out, c);
        else
            append_utf8(out, c);
    }
    out.push_back('"');
}

ValueWriter::ValueWriter(const ValueContext& context, std::string& out, uint64_t serial)
    : cx_(context), out_(out), serial_(serial) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
}

void ValueWriter::value(PyObject* v) {
    size_t text_mark = out_.size();
    size_t object_mark = cx_.objects->size();
    try {
        any(v);
    } catch (nb::python_error& e) {
        if (!is_value_failure(e)) throw;
        out_.resize(text_mark);
        cx_.objects->truncate(object_mark);
        nb::object failure = exception_object(e);
        nb::object message = check(PyUnicode_FromFormat(
            "<unreadable: %s: %S>", Py_TYPE(failure.ptr())->tp_name, failure.ptr()));
        out_ += "{\"$?\":";
        append_json_text(out_, message.ptr());
        out_ += "}";
        ++flagged_;
    }
}

void ValueWriter::any(PyObject* v) {
    if (v == Py_None) {
        out_ += "null";
        return;
    }
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type) return append_json_text(out_, v);
    if (t == &PyBool_Type) {
        out_ += v == Py_True ? "true" : "false";
        return;
    }
    if (t == &PyLong_Type) return integer(v);
    if (t == &PyFloat_Type) return real(PyFloat_AS_DOUBLE(v));
    if (t == &PyList_Type || t == &PyDict_Type || (PyObject*)t == cx_.attrdict_type)
        return numbered(v, t);
    if ((PyObject*)t == cx_.counter_type) return counter(v);
    if ((PyObject*)t == cx_.result_type) return result(v);
    if (is_node(v)) {
        long long n = cx_.node_number(cx_.journal, v);
        if (n < 0) return unknown(v);
        out_ += "{\"$n\":";
        append_int(out_, n);
        out_ += "}";
        return;
    }
    if (t == &PyTuple_Type) {
        out_ += "{\"$tu\":";
        sequence(v);
        out_ += "}";
        return;
    }
    if (t == &PyBytes_Type) {
        out_ += "{\"$b\":\"";
        const auto* p = (const unsigned char*)PyBytes_AS_STRING(v);
        for (Py_ssize_t i = 0, n = PyBytes_GET_SIZE(v); i < n; ++i) {
            out_.push_back(kHex[p[i] >> 4]);
            out_.push_back(kHex[p[i] & 15]);
        }
        out_ += "\"}";
        return;
    }
    if (t == PyDateTimeAPI->DateTimeType) {
        out_ += "{\"$T\":\"";
        append_iso_datetime(out_, v);
        // The text leaves out fold (which of two equal wall times), repr shows it.
        out_ += PyDateTime_DATE_GET_FOLD(v) ? "\",\"f\":1}" : "\"}";
        return;
    }
    if (t == PyDateTimeAPI->DateType) {
        out_ += "{\"$D\":\"";
        append_iso_date(out_, v);
        out_ += "\"}";
        return;
    }
    if (PyExceptionInstance_Check(v)) return exception(v);
    unknown(v);
}

void ValueWriter::integer(PyObject* v) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) {
        append_int(out_, n);
        return;
    }
    // Hex has no digit limit (decimal str() of huge ints has one).
    nb::object hex = check(PyNumber_ToBase(v, 16));
    out_ += "{\"$i\":";
    append_json_text(out_, hex.ptr());
    out_ += "}";
}

void ValueWriter::real(double d) {
    if (std::isnan(d)) {
        out_ += "{\"$f\":\"nan\"}";
    } else if (std::isinf(d)) {
        out_ += d > 0 ? "{\"$f\":\"inf\"}" : "{\"$f\":\"-inf\"}";
    } else {
        append_float_repr(out_, d);
    }
}

void ValueWriter::numbered(PyObject* v, PyTypeObject* t) {
    numbered_any_ = true;
    bool fresh = false;
    uint32_t n = cx_.objects->number(v, fresh);
    uint64_t written = cx_.objects->exchange_written(n, serial_);
    if (fresh) return body(v, t);
    if (written == serial_) {
        // Already written whole in this record (or being written: a cycle).
        out_ += "{\"$r\":";
        append_int(out_, n);
        out_ += "}";
        return;
    }
    out_ += "{\"$u\":";
    append_int(out_, n);
    out_ += ",\"v\":";
    body(v, t);
    out_ += "}";
}

void ValueWriter::body(PyObject* v, PyTypeObject* t) {
    RecursionGuard guard(" while writing the journal");
    if (t == &PyList_Type) return list_body(v);
    if (t == &PyDict_Type) return dict_body(v);
    out_ += "{\"$a\":";
    dict_body(v);
    out_ += "}";
}

void ValueWriter::list_body(PyObject* list) {
    out_.push_back('[');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (i) out_.push_back(',');
        nb::object item = nb::borrow(PyList_GET_ITEM(list, i));
        any(item.ptr());
    }
    out_.push_back(']');
}

void ValueWriter::dict_body(PyObject* dict) {
    if (!plain_keys(dict)) {
        out_ += "{\"$m\":";
        pairs(dict);
        out_ += "}";
        return;
    }
    out_.push_back('{');
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(dict);
    PyObject *k, *v;
    bool first = true;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        if (!first) out_.push_back(',');
        first = false;
        cx_.texts->append(out_, key.ptr());
        out_.push_back(':');
        any(value.ptr());
        if (PyDict_GET_SIZE(dict) != size)
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    out_.push_back('}');
}

void ValueWriter::pairs(PyObject* mapping) {
    out_.push_back('[');
    bool first = true;
    for_each_pair(mapping, [&](PyObject* k, PyObject* v) {
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        if (!first) out_.push_back(',');
        first = false;
        out_.push_back('[');
        any(key.ptr());
        out_.push_back(',');
        any(value.ptr());
        out_.push_back(']');
    });
    out_.push_back(']');
}

void ValueWriter::counter(PyObject* counter) {
    out_ += "{\"$c\":";
    pairs(counter);
    nb::object weight = optional_attr(counter, interned.weight);
    if (weight) {
        out_ += ",\"w\":";
        any(weight.ptr());
    }
    out_ += "}";
}

void ValueWriter::result(PyObject* v) {
    auto named = cx_.named_results->find(v);
    if (named != cx_.named_results->end()) {
        out_ += "{\"$k\":";
        append_json_text(out_, named->second.data(), named->second.size());
        out_ += "}";
        return;
    }
    // A result of a name korvo.results does not define cannot be rebuilt from its name.
    nb::object name = check(PyObject_Str(v));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.ptr(), &n);
    if (!s) throw nb::python_error();
    bool known = false;
    for (const auto& entry : *cx_.named_results)
        if (entry.second.size() == size_t(n) && entry.second.compare(0, size_t(n), s) == 0)
            known = true;
    if (!known) return unknown(v);

    out_ += "{\"$t\":";
    append_json_text(out_, s, size_t(n));
    nb::object reason = attr_or_none(v, interned.reason);
    nb::object data = attr_or_none(v, interned.data);
    if (!reason.is_none()) {
        out_ += ",\"r\":";
        any(reason.ptr());
    }
    if (!data.is_none()) {
        out_ += ",\"d\":";
        any(data.ptr());
    }
    out_ += "}";
}

void ValueWriter::sequence(PyObject* tuple) {
    RecursionGuard guard(" while writing the journal");
    out_.push_back('[');
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        if (i) out_.push_back(',');
        any(PyTuple_GET_ITEM(tuple, i));
    }
    out_.push_back(']');
}

void ValueWriter::exception(PyObject* v) {
    nb::object args = get_attr(v, intern("args"));
    if (!PyTuple_Check(args.ptr())) return unknown(v);
    std::string path = class_path(Py_TYPE(v));
    out_ += "{\"$e\":";
    append_json_text(out_, path.data(), path.size());
    out_ += ",\"a\":";
    sequence(args.ptr());
    out_ += "}";
}

void ValueWriter::unknown(PyObject* v) {
    nb::object text = check(PyObject_Repr(v));
    out_ += "{\"$?\":";
    append_json_text(out_, text.ptr());
    out_ += "}";
    ++flagged_;
}

} // namespace korvo::campaign::journal
