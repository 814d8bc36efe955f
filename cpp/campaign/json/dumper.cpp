#include "campaign/json/dumper.hpp"

#include <deque>
#include <string>
#include <vector>

#include "campaign/json/rules.hpp"
#include "campaign/json/writer.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/walk/node_fields.hpp"
#include "campaign/walk/node_order.hpp"
#include "campaign/walk/path_stack.hpp"
#include "campaign/walk/result_cache.hpp"
#include "common/gc_pause.hpp"
#include "common/iso_datetime.hpp"

namespace korvo::campaign {

namespace {

PyObject* json_encoder = nullptr; // json.JSONEncoder, kept for the life of the process

nb::object node_substitute(PyObject* node) {
    nb::object order = arg_order(node);
    OrderRef info = order_info(order.ptr());
    nb::object sub = check(PyDict_New());
    for_each_node_field(node, info && info->names ? info->names : order.ptr(), nullptr, nullptr,
                        [&](Py_ssize_t, PyObject* name, FieldSource, nb::object value) {
                            check_status(PyDict_SetItem(sub.ptr(), name, value.ptr()));
                        });
    return sub;
}

nb::object result_substitute(PyObject* obj) {
    ResultCache::Fields f;
    ResultCache::read_fields(obj, f);
    nb::object sub = check(PyDict_New());
    each_result_entry(f, [&](PyObject* key, PyObject* value) {
        check_status(PyDict_SetItem(sub.ptr(), key, value));
    });
    return sub;
}

nb::object datetime_substitute(PyObject* obj) {
    std::string text;
    append_iso_datetime(text, obj);
    return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
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
            nb::object sub = counter_mapping(obj);
            return value(sub.ptr());
        }
        case Rule::DateTime:
            scratch_.clear();
            scratch_.push_back('"');
            append_iso_datetime(scratch_, obj);
            scratch_.push_back('"');
            return raw(scratch_.data(), scratch_.size());
        case Rule::Error: {
            nb::object message = error_text(obj);
            if (truthy(message.ptr())) return value(message.ptr());
            break;
        }
        case Rule::None:
            break;
        }
        not_serialisable(obj);
    }

  private:
    struct Field {
        size_t key;      // index into the class list's encoded keys
        PyObject* value; // owned; null for a path
        FieldSource source;
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
        void push(size_t key, FieldSource source, nb::object value) {
            w_.fields_.push_back({key, value.release().ptr(), source});
        }
        size_t size() const { return w_.fields_.size() - base_; }
        const Field& operator[](size_t i) const { return w_.fields_[base_ + i]; }

      private:
        ReportJsonWriter& w_;
        size_t base_;
    };

    // '"name": ' for each name of a plain class list, encoded once per dump.
    struct EncodedKeys {
        OrderRef info;
        std::vector<std::string> keys;
    };
    const std::vector<std::string>& encoded_keys(const OrderRef& info) {
        for (const EncodedKeys& e : keys_)
            if (e.info == info) return e.keys;
        EncodedKeys e{info, {}};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(info->names); ++i) {
            JsonWriter key_writer;
            key_writer.string(PyTuple_GET_ITEM(info->names, i));
            key_writer.raw(": ", 2);
            nb::object text = key_writer.finish();
            e.keys.emplace_back(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                                size_t(PyUnicode_GET_LENGTH(text.ptr())));
        }
        keys_.push_back(std::move(e));
        return keys_.back().keys;
    }

    void node(PyObject* obj) {
        nb::object order = arg_order(obj);
        OrderRef info = order_info(order.ptr());
        if (!info || !info->names) {
            nb::object sub = node_substitute(obj);
            if (PyDict_GET_SIZE(sub.ptr()) == 0) not_serialisable(obj);
            return value(sub.ptr());
        }
        const std::vector<std::string>& keys = encoded_keys(info);
        PathStack::Scope path(paths_, obj);
        // Read everything first, then write, as the substitute mapping would be.
        Fields fields(*this);
        for_each_node_field(obj, info->names, &path, &results_,
                            [&](Py_ssize_t i, PyObject*, FieldSource source, nb::object v) {
                                fields.push(size_t(i), source, std::move(v));
                            });
        if (fields.size() == 0) not_serialisable(obj);
        raw('{');
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i) raw(", ", 2);
            const Field& f = fields[i];
            const std::string& key = keys[f.key];
            raw(key.data(), key.size());
            switch (f.source) {
            case FieldSource::Value:
                value(f.value);
                break;
            case FieldSource::FullId:
                full_id(path);
                break;
            case FieldSource::IdList:
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

    void result(PyObject* obj) {
        ResultCache::Fields f = results_.fields(obj);
        raw('{');
        bool first = true;
        each_result_entry(f, [&](PyObject* key, PyObject* v) {
            if (!first) raw(", ", 2);
            first = false;
            string(key);
            raw(": ", 2);
            value(v);
        });
        raw('}');
    }

    PathStack paths_;
    std::vector<Field> fields_;
    std::deque<EncodedKeys> keys_; // a deque: adding keys for a child keeps the parent's in place

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
};

} // namespace

void init_json_dumper() {
    nb::object json = check(PyImport_ImportModule("json"));
    json_encoder = check(PyObject_GetAttrString(json.ptr(), "JSONEncoder")).release().ptr();
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
        return counter_mapping(obj);
    case Rule::DateTime:
        return datetime_substitute(obj);
    case Rule::Error:
        return error_text(obj);
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
    GcPause pause;
    ReportJsonWriter writer;
    nb::object version = module_global(interned.VERSION);
    writer.document(version.ptr(), node);
    return writer.finish();
}

void stream_json(PyObject* node, ChunkSink& sink) {
    GcPause pause;
    ReportJsonWriter writer(sink);
    nb::object version = module_global(interned.VERSION);
    writer.document(version.ptr(), node);
    writer.flush();
}

} // namespace korvo::campaign
