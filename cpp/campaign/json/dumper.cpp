#include "campaign/json/dumper.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "campaign/json/datetime_text.hpp"
#include "campaign/json/writer.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/walk/node_access.hpp"
#include "campaign/walk/node_order.hpp"
#include "campaign/walk/path_stack.hpp"
#include "campaign/walk/result_cache.hpp"

namespace korvo::campaign {

namespace {

PyObject* json_encoder = nullptr; // json.JSONEncoder, kept for the life of the process

// The value of a listed attribute, null when absent, read as the model reads it.
nb::object read_field(PyObject* node, PyObject* name) {
    return read_listed(node, name);
}

// VALUE_IGNORE membership. An exact date-time, a built-in whose equality with None, a
// list or a dict is always false, skips the three comparisons.
bool ignored(PyObject* value) {
    if (is_exact_datetime(value)) return false;
    return is_ignored_value(value);
}

// Calls sink(index, name, value) for each name of `order` whose value on the node is not
// in VALUE_IGNORE (an absent attribute reads as None).
template <typename Sink> void each_node_field(PyObject* node, PyObject* order, Sink&& sink) {
    // Our exact classes keep plain values; anything else may compute them, so the value
    // kept is a second read, as getattr(node, name) after the test would give.
    bool exact = exact_kind(node) != NodeKind::Other;
    auto visit = [&](Py_ssize_t index, PyObject* name) {
        nb::object value = read_field(node, name);
        if (!value || ignored(value.ptr())) return;
        if (!exact) value = get_attr(node, name);
        sink(index, name, value.ptr());
    };
    if (PyTuple_CheckExact(order) || PyList_CheckExact(order)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(order); ++i) {
            nb::object name = nb::borrow(PySequence_Fast_GET_ITEM(order, i));
            visit(i, name.ptr());
        }
        return;
    }
    nb::object it = check(PyObject_GetIter(order));
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* raw = PyIter_Next(it.ptr());
        if (!raw) break;
        nb::object name = nb::steal(raw);
        visit(i, name.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

nb::object node_substitute(PyObject* node) {
    nb::object order = arg_order(node);
    OrderRef info = order_info(order.ptr());
    nb::object sub = check(PyDict_New());
    each_node_field(node, info && info->names ? info->names : order.ptr(),
                    [&](Py_ssize_t, PyObject* name, PyObject* value) {
                        check_status(PyDict_SetItem(sub.ptr(), name, value));
                    });
    return sub;
}

nb::object result_substitute(PyObject* obj) {
    ResultCache::Fields f;
    ResultCache::read_fields(obj, f);
    nb::object sub = check(PyDict_New());
    check_status(PyDict_SetItem(sub.ptr(), interned.value, f.value.ptr()));
    if (f.reason) check_status(PyDict_SetItem(sub.ptr(), interned.reason, f.reason.ptr()));
    if (f.data) check_status(PyDict_SetItem(sub.ptr(), interned.data, f.data.ptr()));
    return sub;
}

nb::object counter_substitute(PyObject* obj) {
    nb::object data = get_attr(obj, interned.data);
    nb::object sub = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                        data.ptr(), nullptr));
    check_status(PyDict_SetItem(sub.ptr(), interned.total, get_attr(obj, interned.total).ptr()));
    check_status(
        PyDict_SetItem(sub.ptr(), interned.success_rate, get_attr(obj, interned.success_rate).ptr()));
    return sub;
}

bool is_error(PyObject* obj) {
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

// Which substitution rule applies to `obj`, tested in the rules' order.
enum class Rule { Node, Result, Counter, DateTime, Error, None };

bool instance_of(PyObject* obj, PyObject* cls) {
    if (PyType_Check(cls)) return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls));
    int r = PyObject_IsInstance(obj, cls);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

Rule classify(PyObject* obj, PyObject* result_cls, PyObject* counter_cls) {
    if (is_node(obj)) return Rule::Node;
    if (instance_of(obj, result_cls)) return Rule::Result;
    if (instance_of(obj, counter_cls)) return Rule::Counter;
    if (is_datetime(obj)) return Rule::DateTime;
    if (is_error(obj)) return Rule::Error;
    return Rule::None;
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
        switch (rule_for(obj)) {
        case Rule::Node:
            return node(obj);
        case Rule::Result:
            return result(obj);
        case Rule::Counter: {
            nb::object sub = counter_substitute(obj);
            return value(sub.ptr());
        }
        case Rule::DateTime:
            scratch_.clear();
            scratch_.push_back('"');
            append_datetime_text(scratch_, obj);
            scratch_.push_back('"');
            return raw(scratch_.data(), scratch_.size());
        case Rule::Error: {
            nb::object message = check(PyObject_Str(obj));
            if (truthy(message.ptr())) return value(message.ptr());
            break;
        }
        case Rule::None:
            break;
        }
        not_serialisable(obj);
    }

  private:
    // What a field holds: a value, or one of the paths of the node being written.
    enum class Held : char { Value, FullId, IdList };
    struct Field {
        size_t key;      // index into the class list's encoded keys
        PyObject* value; // owned; null for a path
        Held held;
    };

    // Fields of the nodes being written, innermost last; released on scope exit.
    class Fields {
      public:
        explicit Fields(ReportJsonWriter& w) : w_(w), base_(w.fields_.size()) {}
        ~Fields() {
            while (w_.fields_.size() > base_) {
                Py_XDECREF(w_.fields_.back().value);
                w_.fields_.pop_back();
            }
        }
        Fields(const Fields&) = delete;
        Fields& operator=(const Fields&) = delete;
        void push(size_t key, PyObject* value) {
            Py_INCREF(value);
            w_.fields_.push_back({key, value, Held::Value});
        }
        void push_path(size_t key, Held held) { w_.fields_.push_back({key, nullptr, held}); }
        size_t size() const { return w_.fields_.size() - base_; }
        const Field& operator[](size_t i) const { return w_.fields_[base_ + i]; }

      private:
        ReportJsonWriter& w_;
        size_t base_;
    };

    void node(PyObject* obj) {
        nb::object order = arg_order(obj);
        OrderRef info = order_info(order.ptr());
        if (!info || !info->names) {
            nb::object sub = node_substitute(obj);
            if (PyDict_GET_SIZE(sub.ptr()) == 0) not_serialisable(obj);
            return value(sub.ptr());
        }
        PathStack::Scope path(paths_, obj);
        // Read everything first, then write, as the substitute mapping would be.
        Fields fields(*this);
        if (path.valid()) {
            // An exact node: the paths come from the stack (a text and a non-empty list,
            // never ignored), everything else straight from the node.
            PyObject* order_names = info->names;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order_names); ++i) {
                PyObject* name = PyTuple_GET_ITEM(order_names, i);
                if (name == interned.fullid && path.text()) {
                    fields.push_path(size_t(i), Held::FullId);
                    continue;
                }
                if (name == interned.idlist) {
                    fields.push_path(size_t(i), Held::IdList);
                    continue;
                }
                nb::object v = read_field(obj, name);
                if (!v || (!is_exact_datetime(v.ptr()) && results_.ignored(v.ptr()))) continue;
                fields.push(size_t(i), v.ptr());
            }
        } else {
            each_node_field(obj, info->names, [&](Py_ssize_t i, PyObject*, PyObject* v) {
                fields.push(size_t(i), v);
            });
        }
        if (fields.size() == 0) not_serialisable(obj);
        raw('{');
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i) raw(", ", 2);
            const Field& f = fields[i];
            const std::string& key = info->keys[f.key];
            raw(key.data(), key.size());
            switch (f.held) {
            case Held::Value:
                value(f.value);
                break;
            case Held::FullId:
                full_id(path);
                break;
            case Held::IdList:
                id_list(path);
                break;
            }
        }
        raw('}');
    }

    // fullid: the ids, all texts, joined by "."; escaping is per character, so the joined
    // text is written as its pieces.
    void full_id(const PathStack::Scope& path) {
        raw('"');
        for (size_t k = 0; k < path.count(); ++k) {
            if (k) raw('.');
            string_body(path.ids()[k]);
        }
        raw('"');
    }

    // idlist: the list of the ids.
    void id_list(const PathStack::Scope& path) {
        Depth level(*this);
        raw('[');
        for (size_t k = 0; k < path.count(); ++k) {
            if (k) raw(", ", 2);
            value(path.ids()[k]);
        }
        raw(']');
    }

    PathStack paths_;
    std::vector<Field> fields_;

    // The result and counter classes are looked up once per dump; with them fixed, the
    // rule depends on the type alone when both are classes, so it is remembered per type.
    nb::object result_cls_ = module_global(interned.TestResult);
    nb::object counter_cls_ = module_global(interned.ResultCounter);
    bool rules_by_type_ = PyType_Check(result_cls_.ptr()) && PyType_Check(counter_cls_.ptr());
    ResultCache results_{PyType_Check(result_cls_.ptr()) ? result_cls_.ptr() : nullptr};
    static constexpr int kRuleCache = 8;
    struct TypeRule {
        nb::object type; // held so that the address is not reused during the dump
        Rule rule;
    };
    TypeRule rules_[kRuleCache];
    int rule_count_ = 0;

    Rule rule_for(PyObject* obj) {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        for (int i = 0; i < rule_count_; ++i)
            if (rules_[i].type.ptr() == type) return rules_[i].rule;
        Rule rule = classify(obj, result_cls_.ptr(), counter_cls_.ptr());
        if (rules_by_type_ && rule_count_ < kRuleCache)
            rules_[rule_count_++] = {nb::borrow(type), rule};
        return rule;
    }

    void result(PyObject* obj) {
        ResultCache::Fields f = results_.fields(obj);
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
    nb::object result_cls = module_global(interned.TestResult);
    nb::object counter_cls = module_global(interned.ResultCounter);
    switch (classify(obj, result_cls.ptr(), counter_cls.ptr())) {
    case Rule::Node:
        return node_substitute(obj);
    case Rule::Result:
        return result_substitute(obj);
    case Rule::Counter:
        return counter_substitute(obj);
    case Rule::DateTime: {
        std::string text;
        append_datetime_text(text, obj);
        return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    }
    case Rule::Error:
        return check(PyObject_Str(obj));
    case Rule::None:
        break;
    }
    return nb::object();
}

nb::object json_dumper_default(PyObject* self, PyObject* obj) {
    nb::object sub = json_substitute(obj);
    if (sub && truthy(sub.ptr())) return sub;
    nb::object fallback = check(PyObject_GetAttrString(json_encoder, "default"));
    return check(PyObject_CallFunctionObjArgs(fallback.ptr(), self, obj, nullptr));
}

nb::object dump_json(PyObject* node) {
    ReportJsonWriter writer;
    nb::object version = module_global(interned.VERSION);
    writer.document(version.ptr(), node);
    return writer.finish();
}

} // namespace korvo::campaign
