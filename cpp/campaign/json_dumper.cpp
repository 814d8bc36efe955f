#include "campaign/json_dumper.hpp"

#include <cstring>
#include <string>

#include "campaign/datetime_text.hpp"
#include "campaign/json_writer.hpp"
#include "campaign/module_state.hpp"
#include "campaign/names.hpp"
#include "campaign/node_access.hpp"

namespace korvo::campaign {

namespace {

PyObject* json_encoder = nullptr; // json.JSONEncoder, kept for the life of the process

// Calls sink(name, value) for each name of `order` whose value on the node is not in
// VALUE_IGNORE (an absent attribute reads as None).
template <typename Sink> void each_node_field(PyObject* node, PyObject* order, Sink&& sink) {
    // Our exact classes keep plain values; anything else may compute them, so the value
    // kept is a second read, as getattr(node, name) after the test would give.
    bool exact = exact_kind(node) != NodeKind::Other;
    auto visit = [&](PyObject* name) {
        nb::object value = read_listed(node, name);
        if (!value || is_ignored_value(value.ptr())) return;
        if (!exact) value = get_attr(node, name);
        sink(name, value.ptr());
    };
    if (PyTuple_CheckExact(order) || PyList_CheckExact(order)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(order); ++i) {
            nb::object name = nb::borrow(PySequence_Fast_GET_ITEM(order, i));
            visit(name.ptr());
        }
        return;
    }
    nb::object it = check(PyObject_GetIter(order));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object name = nb::steal(raw);
        visit(name.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

nb::object node_substitute(PyObject* node, PyObject* order) {
    nb::object sub = check(PyDict_New());
    each_node_field(node, order, [&](PyObject* name, PyObject* value) {
        check_status(PyDict_SetItem(sub.ptr(), name, value));
    });
    return sub;
}

// Class lists seen lately, each with a frozen copy and whether its names are distinct
// exact texts: those can be written as keys straight away, without building a mapping.
struct OrderEntry {
    PyObject* list = nullptr;     // owned
    PyObject* snapshot = nullptr; // owned tuple
    bool plain = false;
};
constexpr int kOrderCache = 8;
OrderEntry order_cache[kOrderCache];
int order_next = 0;

bool same_items(PyObject* list, PyObject* snapshot) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (PyTuple_GET_SIZE(snapshot) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(snapshot, i)) return false;
    return true;
}

bool distinct_texts(PyObject* names_tuple) {
    Py_ssize_t n = PyTuple_GET_SIZE(names_tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(names_tuple, i);
        if (!PyUnicode_CheckExact(a)) return false;
        for (Py_ssize_t j = 0; j < i; ++j) {
            int eq = PyUnicode_Compare(a, PyTuple_GET_ITEM(names_tuple, j));
            if (eq == -1 && PyErr_Occurred()) throw nb::python_error();
            if (eq == 0) return false;
        }
    }
    return true;
}

// The frozen names of a plain class list, or a null object when the list must be
// honoured through a real mapping (duplicates, non-text names, not a list).
nb::object plain_order(PyObject* order) {
    if (!PyList_CheckExact(order)) return nb::object();
    for (const OrderEntry& e : order_cache) {
        if (e.list == order && same_items(order, e.snapshot))
            return e.plain ? nb::borrow(e.snapshot) : nb::object();
    }
    nb::object snapshot = check(PyList_AsTuple(order));
    bool plain = distinct_texts(snapshot.ptr());
    OrderEntry& slot = order_cache[order_next];
    order_next = (order_next + 1) % kOrderCache;
    Py_XDECREF(slot.list);
    Py_XDECREF(slot.snapshot);
    Py_INCREF(order);
    slot.list = order;
    slot.snapshot = snapshot.inc_ref().ptr();
    slot.plain = plain;
    return plain ? snapshot : nb::object();
}

struct ResultFields {
    nb::object value, reason, data; // reason and data null when not set
};

ResultFields result_fields(PyObject* obj) {
    ResultFields f;
    f.value = get_attr(obj, names.value);
    nb::object reason = get_attr(obj, names.reason);
    if (truthy(reason.ptr())) f.reason = reason;
    nb::object data = get_attr(obj, names.data);
    if (truthy(data.ptr())) f.data = data;
    return f;
}

nb::object result_substitute(PyObject* obj) {
    ResultFields f = result_fields(obj);
    nb::object sub = check(PyDict_New());
    check_status(PyDict_SetItem(sub.ptr(), names.value, f.value.ptr()));
    if (f.reason) check_status(PyDict_SetItem(sub.ptr(), names.reason, f.reason.ptr()));
    if (f.data) check_status(PyDict_SetItem(sub.ptr(), names.data, f.data.ptr()));
    return sub;
}

nb::object counter_substitute(PyObject* obj) {
    nb::object data = get_attr(obj, names.data);
    nb::object sub = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                        data.ptr(), nullptr));
    check_status(PyDict_SetItem(sub.ptr(), names.total, get_attr(obj, names.total).ptr()));
    check_status(
        PyDict_SetItem(sub.ptr(), names.success_rate, get_attr(obj, names.success_rate).ptr()));
    return sub;
}

bool is_error(PyObject* obj) {
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

// The JSON writer with the report's substitutes done natively.
class ReportJsonWriter : public JsonWriter {
  public:
    using JsonWriter::JsonWriter;

    void document(PyObject* version, PyObject* report) {
        Depth level(*this);
        raw("{\"version\": ", 12);
        value(version);
        raw(", \"report\": ", 12);
        value(report);
        raw('}');
    }

  protected:
    void substitute(PyObject* obj) override {
        Marker mark(*this, obj);
        if (is_node(obj)) return node(obj);
        if (is_instance_of_global(obj, names.TestResult)) return result(obj);
        if (is_instance_of_global(obj, names.ResultCounter)) {
            nb::object sub = counter_substitute(obj);
            return value(sub.ptr());
        }
        if (is_datetime(obj)) {
            raw('"');
            append_datetime_text(out_, obj);
            raw('"');
            return;
        }
        if (is_error(obj)) {
            nb::object message = check(PyObject_Str(obj));
            if (truthy(message.ptr())) return value(message.ptr());
        }
        not_serialisable(obj);
    }

  private:
    void node(PyObject* obj) {
        nb::object order = arg_order(obj);
        nb::object frozen = plain_order(order.ptr());
        if (!frozen) {
            nb::object sub = node_substitute(obj, order.ptr());
            if (PyDict_GET_SIZE(sub.ptr()) == 0) not_serialisable(obj);
            return value(sub.ptr());
        }
        Stash fields(*this);
        each_node_field(obj, frozen.ptr(), [&](PyObject* name, PyObject* v) {
            Py_INCREF(name);
            fields.push(name);
            Py_INCREF(v);
            fields.push(v);
        });
        if (fields.size() == 0) not_serialisable(obj);
        pairs(fields);
    }

    void result(PyObject* obj) {
        ResultFields f = result_fields(obj);
        raw("{\"value\": ", 10);
        value(f.value.ptr());
        if (f.reason) {
            raw(", \"reason\": ", 12);
            value(f.reason.ptr());
        }
        if (f.data) {
            raw(", \"data\": ", 10);
            value(f.data.ptr());
        }
        raw('}');
    }
};

} // namespace

void init_json_dumper() {
    init_datetime_text();
    nb::object json = check(PyImport_ImportModule("json"));
    json_encoder =
        get_attr(json.ptr(), check(PyUnicode_FromString("JSONEncoder")).ptr()).inc_ref().ptr();
}

nb::object json_encoder_class() {
    return nb::borrow(json_encoder);
}

nb::object json_substitute(PyObject* obj) {
    if (is_node(obj)) return node_substitute(obj, arg_order(obj).ptr());
    if (is_instance_of_global(obj, names.TestResult)) return result_substitute(obj);
    if (is_instance_of_global(obj, names.ResultCounter)) return counter_substitute(obj);
    if (is_datetime(obj)) {
        std::string text;
        append_datetime_text(text, obj);
        return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    }
    if (is_error(obj)) return check(PyObject_Str(obj));
    return nb::object();
}

nb::object json_dumper_default(PyObject* self, PyObject* obj) {
    nb::object sub = json_substitute(obj);
    if (sub && truthy(sub.ptr())) return sub;
    nb::object fallback = check(PyObject_GetAttrString(json_encoder, "default"));
    return check(PyObject_CallFunctionObjArgs(fallback.ptr(), self, obj, nullptr));
}

nb::object dump_json(PyObject* node) {
    std::string out;
    {
        ReportJsonWriter writer(out);
        nb::object version = module_global(names.VERSION);
        writer.document(version.ptr(), node);
    }
    // Every character outside printable ASCII was escaped, so the text is pure ASCII.
    nb::object text = check(PyUnicode_New(Py_ssize_t(out.size()), 127));
    std::memcpy(PyUnicode_DATA(text.ptr()), out.data(), out.size());
    return text;
}

} // namespace korvo::campaign
