#include "campaign/yaml/represent.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <unordered_map>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/walk/node_access.hpp"
#include "campaign/walk/node_order.hpp"
#include "campaign/yaml/emitter.hpp"
#include "campaign/yaml/rules.hpp"
#include "campaign/yaml/scalar_text.hpp"
#include "common/gc_pause.hpp"
#include "common/iso_datetime.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::yaml {

RegisteredTypes registered;

namespace {

struct Shape {
    enum Kind { ScalarNode, SequenceNode, MappingNode } kind = ScalarNode;
    Scalar scalar;
    nb::object text_owner; // the str a scalar's text lives in, when it comes from one
    std::string storage;   // a scalar's text when it is made here
    Tag tag = Tag::Str;    // collection tag
    nb::object sequence;   // list or tuple
    Pairs pairs;

    void ascii_text(Tag t) {
        scalar.tag = t;
        scalar.text = TextView::ascii(storage.data(), storage.size());
    }
    template <size_t N> void static_text(Tag t, const char (&s)[N]) {
        scalar.tag = t;
        scalar.text = TextView::ascii(s, N - 1);
    }
    void str_text(Tag t, nb::object str) {
        text_owner = std::move(str);
        scalar.tag = t;
        scalar.text = TextView::of(text_owner.ptr());
    }
    bool empty_collection() const {
        if (kind == MappingNode) return pairs.empty();
        return Py_SIZE(sequence.ptr()) == 0;
    }
};

class Walker {
  public:
    explicit Walker(Emitter& emitter) : em_(emitter) {}

    void node(PyObject* value, NodeContext ctx) {
        signals_.step();
        // The most frequent scalars go straight to the writer.
        PyTypeObject* t = Py_TYPE(value);
        if (t == &PyUnicode_Type) {
            if (PyUnicode_IS_ASCII(value)) {
                auto* s = static_cast<const Py_UCS1*>(PyUnicode_DATA(value));
                Py_ssize_t n = PyUnicode_GET_LENGTH(value);
                if (plain_str_text(s, n) &&
                    em_.plain_unfolded(reinterpret_cast<const char*>(s), size_t(n), ctx))
                    return;
            }
            TextView text = TextView::of(value);
            if (!has_line_feed(text)) return plain_scalar(Tag::Str, text, ctx);
        } else if (t == &PyLong_Type) {
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (!overflow && !(n == -1 && PyErr_Occurred())) {
                // A decimal integer is always plain and read back as an int.
                char buf[24];
                auto res = std::to_chars(buf, buf + sizeof buf, n);
                size_t len = size_t(res.ptr - buf);
                if (em_.plain_unfolded(buf, len, ctx)) return;
                return plain_scalar(Tag::Int, TextView::ascii(buf, len), ctx);
            }
            PyErr_Clear();
        } else if (t == &PyFloat_Type) {
            std::string text;
            append_rounded_float(text, PyFloat_AS_DOUBLE(value));
            return plain_scalar(Tag::Float, TextView::ascii(text.data(), text.size()), ctx);
        } else if (value == Py_None) {
            return plain_scalar(Tag::Null, TextView::ascii("null", 4), ctx);
        } else if (is_exact_datetime(value) && has_no_tzinfo(value)) {
            // "YYYY-MM-DD HH:MM:SS[.ffffff]" is always read back as a timestamp; its ":"
            // keeps it out of flow context only, which this writer never enters.
            scratch_.clear();
            append_iso_datetime(scratch_, value);
            if (em_.plain_unfolded(scratch_.data(), scratch_.size(), ctx)) return;
            return plain_scalar(Tag::Timestamp, TextView::ascii(scratch_.data(), scratch_.size()),
                                ctx);
        }
        RecursionGuard guard(" while writing YAML");
        Shape shape;
        if (report_node(value)) {
            // The node's path stays known while its children are written.
            PathStack::Scope path(paths_, value);
            shape.kind = Shape::MappingNode;
            shape.tag = Tag::Map;
            node_pairs(value, class_order(value), shape.pairs, &path, &results_);
            return mapping(shape.tag, shape.pairs, &path);
        }
        represent(value, shape);
        emit(shape, ctx, nullptr);
    }

    // `path` is the node's own when the pairs are a report node's: a pair without a value
    // is its idlist, written from the path's ids.
    void mapping(Tag tag, Pairs& pairs, PathStack::Scope* path = nullptr) {
        em_.mapping_start(tag, pairs.empty());
        if (pairs.empty()) return;
        for (auto& pair : pairs) {
            if (plain_key(pair.first.ptr())) {
                em_.mapping_key(true);
                em_.plain_simple_key(TextView::of(pair.first.ptr()));
                em_.mapping_value(true);
                value(pair.second.ptr(), path);
                continue;
            }
            RecursionGuard guard(" while writing YAML");
            Shape key;
            represent(pair.first.ptr(), key);
            ScalarAnalysis analysis;
            bool simple;
            if (key.kind == Shape::ScalarNode) {
                analysis = analyze_scalar(key.scalar.text);
                simple = Emitter::simple_scalar_key(key.scalar, analysis);
            } else {
                simple = key.empty_collection();
            }
            em_.mapping_key(simple);
            emit(key, NodeContext{false, simple}, &analysis);
            em_.mapping_value(simple);
            value(pair.second.ptr(), path);
        }
        em_.mapping_end();
    }

  private:
    void value(PyObject* v, PathStack::Scope* path) {
        if (v) return node(v, NodeContext{});
        // The ids stay owned by the stack while they are written; they are re-read on each
        // step since writing may push deeper frames.
        size_t n = path->count();
        em_.sequence_start(Tag::Seq, n == 0);
        if (n == 0) return;
        for (size_t i = 0; i < n; ++i) {
            em_.sequence_item();
            node(path->ids()[i], NodeContext{});
        }
        em_.sequence_end();
    }

    void plain_scalar(Tag tag, const TextView& text, NodeContext ctx) {
        Scalar s;
        s.tag = tag;
        s.text = text;
        em_.scalar(s, analyze_scalar(text), ctx);
    }

    // Whether `key` is a name written as a plain simple key. Attribute names and other
    // interned texts recur on every node, so the decision is remembered for them.
    bool plain_key(PyObject* key) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return false;
        auto found = plain_keys_.find(key);
        if (found != plain_keys_.end()) return found->second;
        bool plain = false;
        TextView text = TextView::of(key);
        if (!has_line_feed(text)) {
            Scalar s;
            s.text = text;
            plain = em_.key_form(s, analyze_scalar(text)) == Emitter::KeyForm::PlainSimple;
        }
        key_refs_.push_back(nb::borrow(key));
        plain_keys_.emplace(key, plain);
        return plain;
    }

    void emit(Shape& s, NodeContext ctx, const ScalarAnalysis* analysis) {
        switch (s.kind) {
        case Shape::ScalarNode:
            if (analysis)
                em_.scalar(s.scalar, *analysis, ctx);
            else
                em_.scalar(s.scalar, analyze_scalar(s.scalar.text), ctx);
            break;
        case Shape::SequenceNode:
            sequence(s.tag, s.sequence.ptr());
            break;
        case Shape::MappingNode:
            mapping(s.tag, s.pairs);
            break;
        }
    }

    void sequence(Tag tag, PyObject* seq) {
        bool is_list = PyList_CheckExact(seq);
        bool empty = Py_SIZE(seq) == 0;
        em_.sequence_start(tag, empty);
        if (empty) return;
        // Items are held while written: writing may run code (repr) that changes the list.
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            nb::object item =
                nb::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            em_.sequence_item();
            node(item.ptr(), NodeContext{});
        }
        em_.sequence_end();
    }

    void represent(PyObject* v, Shape& s) {
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyUnicode_Type) return represent_str(v, s);
        if (t == &PyFloat_Type) {
            append_rounded_float(s.storage, PyFloat_AS_DOUBLE(v));
            return s.ascii_text(Tag::Float);
        }
        if (t == &PyLong_Type) return represent_int(v, s);
        if (v == Py_None) return s.static_text(Tag::Null, "null");
        if (t == &PyBool_Type) {
            if (v == Py_True) return s.static_text(Tag::Bool, "true");
            return s.static_text(Tag::Bool, "false");
        }
        if (t == &PyList_Type || t == &PyTuple_Type) {
            s.kind = Shape::SequenceNode;
            s.tag = Tag::Seq;
            s.sequence = nb::borrow(v);
            return;
        }
        if (t == &PyDict_Type) return sorted_mapping(v, s);
        if (report_node(v)) {
            s.kind = Shape::MappingNode;
            s.tag = Tag::Map;
            node_pairs(v, class_order(v), s.pairs, nullptr, &results_);
            return;
        }
        PyObject* type = reinterpret_cast<PyObject*>(t);
        if (type == registered.report_header) return represent_header(v, s);
        if (type == registered.result_counter) return represent_counter(v, s);
        if (type == registered.test_result) return represent_result(v, s);
        if (type == registered.attr_dict) return sorted_mapping(v, s);
        if (t == &PyType_Type) return s.str_text(Tag::Str, check(PyObject_Repr(v)));
        if (t == &PyBytes_Type) {
            append_base64_lines(s.storage, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(v)),
                                size_t(PyBytes_GET_SIZE(v)));
            s.scalar.style = ScalarStyle::Literal;
            return s.ascii_text(Tag::Binary);
        }
        if (t == &PySet_Type) return represent_set(v, s);
        if (is_exact_datetime(v)) {
            append_iso_datetime(s.storage, v);
            return s.ascii_text(Tag::Timestamp);
        }
        if (is_exact_date(v)) {
            append_iso_date(s.storage, v);
            return s.ascii_text(Tag::Timestamp);
        }
        represent_unknown(v, s);
    }

    void represent_str(PyObject* v, Shape& s) {
        TextForm form = text_form(v, s.storage);
        if (!form.literal) return s.str_text(Tag::Str, nb::borrow(v));
        s.scalar.tag = Tag::Str;
        s.scalar.style = ScalarStyle::Literal;
        s.scalar.text = form.text;
    }

    void represent_int(PyObject* v, Shape& s) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow) return s.str_text(Tag::Int, check(PyObject_Str(v)));
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, n);
        s.storage.assign(buf, res.ptr);
        s.ascii_text(Tag::Int);
    }

    void sorted_mapping(PyObject* v, Shape& s) {
        s.kind = Shape::MappingNode;
        s.tag = Tag::Map;
        sorted_items(v, s.pairs);
    }

    void represent_set(PyObject* v, Shape& s) {
        s.kind = Shape::MappingNode;
        s.tag = Tag::Set;
        s.pairs.reserve(size_t(PySet_GET_SIZE(v)));
        nb::object it = check(PyObject_GetIter(v));
        while (PyObject* item = PyIter_Next(it.ptr()))
            s.pairs.emplace_back(nb::steal(item), nb::none());
        if (PyErr_Occurred()) throw nb::python_error();
        sort_pairs(s.pairs);
    }

    void represent_header(PyObject* v, Shape& s) {
        s.kind = Shape::MappingNode;
        s.tag = Tag::Map;
        header_pairs(v, s.pairs);
    }

    void represent_counter(PyObject* v, Shape& s) {
        s.kind = Shape::MappingNode;
        s.tag = Tag::Map;
        counter_pairs(v, s.pairs);
    }

    void represent_result(PyObject* v, Shape& s) {
        s.kind = Shape::MappingNode;
        s.tag = Tag::Map;
        result_pairs(results_.fields(v), s.pairs);
    }

    void represent_unknown(PyObject* v, Shape& s) {
        s.kind = Shape::MappingNode;
        s.tag = Tag::Map;
        unknown_pairs(v, s.pairs);
    }

    static bool report_node(PyObject* v) {
        NodeKind kind = exact_kind(v);
        return kind != NodeKind::Other && kind != NodeKind::Base;
    }

    // The class list of a node: its own, else its class's, looked up once per class and
    // dump. A plain class list is read through its interned interned.
    PyObject* class_order(PyObject* node) {
        PyObject** dict = instance_dict_slot(node);
        if (dict && *dict) {
            PyObject* own = PyDict_GetItemWithError(*dict, interned._ARG_ORDER);
            if (own) {
                own_orders_.push_back(fast(own));
                return own_orders_.back().ptr();
            }
            if (PyErr_Occurred()) throw nb::python_error();
        }
        PyTypeObject* t = Py_TYPE(node);
        ClassOrder* entry = nullptr;
        for (auto& e : orders_)
            if (e.type == t) entry = &e;
        if (!entry) {
            orders_.push_back(ClassOrder{t, fast(arg_order(node).ptr()), nullptr});
            entry = &orders_.back();
        }
        // The list may have been changed in place since: its facts are checked each time.
        entry->info = order_info(entry->order.ptr());
        if (entry->info && entry->info->names) return entry->info->names;
        return entry->order.ptr();
    }

    static nb::object fast(PyObject* seq) {
        return check(PySequence_Fast(seq, "_ARG_ORDER must be a sequence"));
    }

    SignalPoll signals_;
    PathStack paths_;
    Emitter& em_;
    ResultCache results_{registered.test_result};
    struct ClassOrder {
        PyTypeObject* type;
        nb::object order;
        OrderRef info; // keeps the interned names alive while in use
    };
    std::vector<ClassOrder> orders_;
    std::vector<nb::object> own_orders_;
    std::unordered_map<PyObject*, bool> plain_keys_;
    std::vector<nb::object> key_refs_; // keeps the remembered keys alive
    std::string scratch_;
};

} // namespace

namespace {

void write_document(PyObject* report, AsciiBuffer& out) {
    GcPause pause;
    Emitter emitter(out);
    Walker walker(emitter);
    Pairs top;
    top.emplace_back(nb::borrow(interned.version), module_global(interned.VERSION));
    top.emplace_back(nb::borrow(interned.report), nb::borrow(report));
    walker.mapping(Tag::Map, top);
    emitter.end_document();
}

} // namespace

nb::object dump_report_document(PyObject* report) {
    AsciiBuffer out;
    write_document(report, out);
    return out.take();
}

void stream_report_document(PyObject* report, ChunkSink& sink) {
    AsciiBuffer out(sink);
    write_document(report, out);
    out.flush();
}

} // namespace korvo::campaign::yaml
