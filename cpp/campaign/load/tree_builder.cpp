#include "campaign/load/tree_builder.hpp"

#include <string>
#include <vector>

#include "campaign/model/counters.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/node.hpp"
#include "common/py_compat.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::load {

namespace {

// Keys that are not stored as read.
enum Field { kPlain, kType, kComputed, kChildren, kTime, kResult, kCounter };

struct Frame {
    const char* list; // "tasks" / "sections", or null for the root
    Py_ssize_t index;
};

class Builder {
  public:
    explicit Builder(const FieldContext& ctx) : ctx_(ctx) {
        fields_ = check(PyDict_New());
        auto field = [&](PyObject* name, Field f) {
            nb::object code = check(PyLong_FromLong(f));
            check_status(PyDict_SetItem(fields_.ptr(), name, code.ptr()));
        };
        field(interned.type, kType);
        field(interned.fullid, kComputed);
        field(interned.idlist, kComputed);
        field(interned.tasks, kChildren);
        field(interned.sections, kChildren);
        field(interned.starttime, kTime);
        field(interned.stoptime, kTime);
        field(interned.result, kResult);
        field(interned.summary, kCounter);
        field(interned.pluginsummary, kCounter);
        const PyObject* names[4] = {interned.Campaign, interned.Task, interned.Section,
                                    interned.Plugin};
        for (int i = 0; i < 4; ++i) {
            classes_[i] = module_global(const_cast<PyObject*>(names[i]));
            nb::object order = get_attr(classes_[i].ptr(), interned._ARG_ORDER);
            listed_[i] = check(PyFrozenSet_New(order.ptr()));
        }
    }

    nb::object root(PyObject* report) {
        if (!PyDict_Check(report) || !first_key_is_type(report))
            fail("is not a report node (a mapping that starts with 'type')");
        NodeKind kind = root_kind(report);
        if (!all_listed(report, kind)) fail("has keys that no report node of its kind carries");
        nb::object zero = check(PyLong_FromLong(0));
        return node(report, kind, Py_None, zero.ptr());
    }

  private:
    const FieldContext& ctx_;
    nb::object fields_;
    nb::object classes_[4]; // Campaign, Task, Section, Plugin as the module names them now
    nb::object listed_[4];  // each class's _ARG_ORDER as a set
    std::vector<Frame> path_;
    SignalPoll signals_;
    nb::object prototypes_[4];
    nb::object counter_type_; // an empty counter, for its type
    nb::object testscript_ = nb::steal(intern("testscript"));

    static int slot(NodeKind kind) {
        switch (kind) {
        case NodeKind::Campaign:
            return 0;
        case NodeKind::Task:
            return 1;
        case NodeKind::Section:
            return 2;
        default:
            return 3;
        }
    }

    [[noreturn]] void fail(const std::string& what) {
        std::string where = "report";
        for (const Frame& f : path_)
            where += std::string(".") + f.list + "[" + std::to_string(f.index) + "]";
        PyErr_SetString(PyExc_ValueError, (where + " " + what).c_str());
        throw nb::python_error();
    }

    // A child list holds nodes only: every reader of a tree walks them as nodes, and a
    // tree the model builds has nothing else there.
    [[noreturn]] void not_a_node() {
        fail("is not a report node (a mapping that starts with 'type' and holds only the "
             "fields of its kind)");
    }

    Field field_of(PyObject* key) {
        PyObject* code = PyDict_GetItemWithError(fields_.ptr(), key);
        if (!code) {
            if (PyErr_Occurred()) throw nb::python_error();
            return kPlain;
        }
        return (Field)PyLong_AsLong(code);
    }

    bool first_key_is_type(PyObject* mapping) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        return PyDict_Next(mapping, &pos, &k, &v) && PyUnicode_Check(k) && field_of(k) == kType;
    }

    static bool has(PyObject* mapping, PyObject* key) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v != nullptr;
    }

    bool type_is(PyObject* mapping, PyObject* class_name) {
        PyObject* t = PyDict_GetItemWithError(mapping, interned.type);
        if (!t && PyErr_Occurred()) throw nb::python_error();
        return t && PyUnicode_Check(t) && PyUnicode_Compare(t, class_name) == 0;
    }

    bool all_listed(PyObject* mapping, NodeKind kind) {
        PyObject* listed = listed_[slot(kind)].ptr();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(mapping, &pos, &k, &v)) {
            int in = PySet_Contains(listed, k);
            check_status(in);
            if (!in) return false;
        }
        return true;
    }

    // The document's root is normally a Campaign, but any node can be dumped.
    NodeKind root_kind(PyObject* m) {
        if (type_is(m, interned.Campaign)) return NodeKind::Campaign;
        if (type_is(m, interned.Task)) return NodeKind::Task;
        if (type_is(m, interned.Plugin)) return NodeKind::Plugin;
        if (type_is(m, interned.Section)) return NodeKind::Section;
        if (has(m, interned.tasks) || has(m, interned.totaltasks)) return NodeKind::Campaign;
        if (has(m, interned.pluginsummary) || has(m, testscript_.ptr())) return NodeKind::Task;
        for (NodeKind k : {NodeKind::Section, NodeKind::Plugin, NodeKind::Task})
            if (all_listed(m, k)) return k;
        return NodeKind::Campaign;
    }

    // The class of an entry of a child list; Other when the entry is not a node there.
    NodeKind child_kind(PyObject* m, NodeKind parent) {
        if (!PyDict_Check(m) || !first_key_is_type(m)) return NodeKind::Other;
        NodeKind first, second;
        if (parent == NodeKind::Campaign) {
            bool plugin =
                type_is(m, interned.Plugin) ||
                (!type_is(m, interned.Task) && (has(m, interned.result) || has(m, interned.logs)));
            first = plugin ? NodeKind::Plugin : NodeKind::Task;
            second = plugin ? NodeKind::Task : NodeKind::Plugin;
        } else if (parent == NodeKind::Task) {
            bool plugin =
                type_is(m, interned.Plugin) || has(m, interned.summary) || has(m, interned.logfile);
            first = plugin ? NodeKind::Plugin : NodeKind::Section;
            second = plugin ? NodeKind::Section : NodeKind::Plugin;
        } else {
            first = second = NodeKind::Section;
        }
        if (all_listed(m, first)) return first;
        if (all_listed(m, second)) return second;
        return NodeKind::Other;
    }

    nb::object new_node(NodeKind kind, PyObject* m, PyObject* parent, PyObject* seq_num) {
        PyObject* cls = classes_[slot(kind)].ptr();
        PyObject* id = PyDict_GetItemWithError(m, interned.id);
        if (!id && PyErr_Occurred()) throw nb::python_error();
        PyObject* type = PyDict_GetItemWithError(m, interned.type);
        if (!type && PyErr_Occurred()) throw nb::python_error();
        nb::object id_ref = nb::borrow(id ? id : Py_None);
        nb::object type_ref = nb::borrow(type ? type : Py_None);
        if (exact_kind_of_class(cls) == kind) {
            // Our own class: no Python-level constructor call per node.
            nb::object obj = nb::inst_alloc(cls);
            nb::inst_mark_ready(obj);
            init_base(obj.ptr(), id_ref.ptr(), seq_num, parent, type_ref.ptr());
            switch (kind) {
            case NodeKind::Campaign:
                init_campaign(obj.ptr());
                break;
            case NodeKind::Task:
                init_task(obj.ptr());
                break;
            case NodeKind::Section:
                init_section(obj.ptr());
                break;
            default:
                init_plugin(obj.ptr());
                break;
            }
            return obj;
        }
        nb::object kwargs = check(PyDict_New());
        check_status(PyDict_SetItemString(kwargs.ptr(), "id", id_ref.ptr()));
        check_status(PyDict_SetItemString(kwargs.ptr(), "seq_num", seq_num));
        check_status(PyDict_SetItemString(kwargs.ptr(), "parent", parent));
        check_status(PyDict_SetItemString(kwargs.ptr(), "type", type_ref.ptr()));
        nb::object empty = check(PyTuple_New(0));
        return check(PyObject_Call(cls, empty.ptr(), kwargs.ptr()));
    }

    static NodeKind exact_kind_of_class(PyObject* cls) {
        if (cls == (PyObject*)campaign_module.campaign_type) return NodeKind::Campaign;
        if (cls == (PyObject*)campaign_module.task_type) return NodeKind::Task;
        if (cls == (PyObject*)campaign_module.section_type) return NodeKind::Section;
        if (cls == (PyObject*)campaign_module.plugin_type) return NodeKind::Plugin;
        return NodeKind::Other;
    }

    // Our own classes take the decoded mapping itself as the instance dict: the fields are
    // converted in place and the attributes the file leaves out come from a node made by
    // the constructor (fresh empty containers and counters, as each constructor makes).
    nb::object adopt(PyObject* m, NodeKind kind, PyObject* parent, PyObject* seq_num) {
        RecursionGuard guard(" while loading a report tree");
        nb::object hold = nb::borrow(m);
        PyObject* cls = classes_[slot(kind)].ptr();
        nb::object obj = nb::inst_alloc(cls);
        nb::inst_mark_ready(obj);
        bool had_summary = has(m, interned.summary);
        bool had_totaltasks = has(m, interned.totaltasks);
        bool computed = false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(m, &pos, &k, &v)) {
            // Only values change here, never the keys, so the walk stays valid.
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            nb::object read;
            switch (field_of(k)) {
            case kType:
                continue;
            case kComputed:
                computed = true;
                continue;
            case kChildren:
                children_in_place(obj.ptr(), kind, key.ptr(), value.ptr());
                continue;
            case kTime:
                read = or_free_form(read_time(v, ctx_), v);
                break;
            case kResult:
                read = or_free_form(read_result(v, ctx_), v);
                break;
            case kCounter:
                read = or_free_form(read_counter(v, ctx_), v);
                break;
            default:
                read = free_form(v);
                break;
            }
            if (read.ptr() != value.ptr()) check_status(PyDict_SetItem(m, key.ptr(), read.ptr()));
        }
        if (computed) {
            for (PyObject* name : {interned.fullid, interned.idlist})
                if (has(m, name)) check_status(PyDict_DelItem(m, name));
        }
        PyObject* defaults = prototype(kind);
        pos = 0;
        while (PyDict_Next(defaults, &pos, &k, &v)) {
            if (has(m, k)) continue;
            nb::object fresh = nb::borrow(v);
            if (PyList_CheckExact(v))
                fresh = check(PyList_New(0));
            else if (PyDict_CheckExact(v))
                fresh = check(PyDict_New());
            else if (Py_TYPE(v) == Py_TYPE(counter_type_.ptr()))
                fresh = new_counter();
            check_status(PyDict_SetItem(m, k, fresh.ptr()));
        }
        check_status(PyDict_SetItem(m, interned._parent, parent));
        check_status(PyDict_SetItem(m, interned.seq_num, seq_num));
        if (kind == NodeKind::Campaign && !had_totaltasks)
            check_status(PyDict_SetItem(m, interned.totaltasks, Py_None));
        if (kind == NodeKind::Plugin && !had_summary && plugin_has_counter(m, parent))
            check_status(PyDict_SetItem(m, interned.summary, new_counter().ptr()));
        check_status(PyObject_GenericSetDict(obj.ptr(), m, nullptr));
        return obj;
    }

    // An empty counter is not written; a plugin has one once it started at job level or
    // rolled up sections, as a live one would.
    static bool plugin_has_counter(PyObject* m, PyObject* parent) {
        bool job_level = PyObject_TypeCheck(parent, campaign_module.campaign_type);
        if (job_level && has(m, interned.starttime)) return true;
        PyObject* sections = PyDict_GetItemWithError(m, interned.sections);
        if (!sections && PyErr_Occurred()) throw nb::python_error();
        return sections && PyList_Check(sections) && PyList_GET_SIZE(sections) > 0;
    }

    // The instance dict of a node of `kind` as its constructor leaves it (id None).
    PyObject* prototype(NodeKind kind) {
        nb::object& made = prototypes_[slot(kind)];
        if (!made) {
            nb::object proto = nb::inst_alloc(classes_[slot(kind)]);
            nb::inst_mark_ready(proto);
            nb::object zero = check(PyLong_FromLong(0));
            init_base(proto.ptr(), Py_None, zero.ptr(), Py_None, Py_None);
            switch (kind) {
            case NodeKind::Campaign:
                init_campaign(proto.ptr());
                break;
            case NodeKind::Task:
                init_task(proto.ptr());
                break;
            case NodeKind::Section:
                init_section(proto.ptr());
                break;
            default:
                init_plugin(proto.ptr());
                break;
            }
            made = check(PyObject_GenericGetDict(proto.ptr(), nullptr));
            if (!counter_type_) counter_type_ = new_counter();
        }
        return made.ptr();
    }

    void children_in_place(PyObject* obj, NodeKind kind, PyObject* key, PyObject* entries) {
        const char* name = PyUnicode_AsUTF8(key);
        if (!name) throw nb::python_error();
        if (!PyList_CheckExact(entries))
            fail(std::string("has '") + name + "' that is not a list (" +
                 Py_TYPE(entries)->tp_name + ")");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            nb::object entry = nb::borrow(PyList_GET_ITEM(entries, i));
            signals_.step();
            path_.push_back({name, i});
            NodeKind child = child_kind(entry.ptr(), kind);
            if (child == NodeKind::Other) not_a_node();
            nb::object seq = check(PyLong_FromSsize_t(i + 1));
            nb::object built = node(entry.ptr(), child, obj, seq.ptr());
            if (i >= PyList_GET_SIZE(entries)) fail("changed while it was read");
            check_status(PyList_SetItem(entries, i, built.release().ptr()));
            path_.pop_back();
        }
    }

    nb::object node(PyObject* m, NodeKind kind, PyObject* parent, PyObject* seq_num) {
        if (exact_kind_of_class(classes_[slot(kind)].ptr()) == kind && PyDict_CheckExact(m))
            return adopt(m, kind, parent, seq_num);
        RecursionGuard guard(" while loading a report tree");
        nb::object hold = nb::borrow(m);
        nb::object obj = new_node(kind, m, parent, seq_num);
        PyObject** dict_ptr = instance_dict_slot(obj.ptr());
        bool direct = exact_kind(obj.ptr()) != NodeKind::Other && dict_ptr && *dict_ptr;
        auto store = [&](PyObject* key, PyObject* value) {
            if (direct)
                check_status(PyDict_SetItem(*dict_ptr, key, value));
            else
                set_attr(obj.ptr(), key, value);
        };
        // Attributes the constructor sets to a value the writers would print: absent
        // from the file means they held nothing printable.
        if (!has(m, interned.name)) store(interned.name, Py_None);
        if (kind == NodeKind::Campaign && !has(m, interned.totaltasks))
            store(interned.totaltasks, Py_None);

        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(m, &pos, &k, &v)) {
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            switch (field_of(k)) {
            case kType:
            case kComputed:
                break; // type went to the constructor; fullid and idlist follow from the tree
            case kChildren:
                children(obj.ptr(), kind, key.ptr(), value.ptr());
                break;
            case kTime:
                store(k, or_free_form(read_time(v, ctx_), v).ptr());
                break;
            case kResult:
                store(k, or_free_form(read_result(v, ctx_), v).ptr());
                break;
            case kCounter:
                store(k, or_free_form(read_counter(v, ctx_), v).ptr());
                break;
            default:
                store(k, free_form(v).ptr());
                break;
            }
        }
        if (kind == NodeKind::Plugin && !has(m, interned.summary) && plugin_has_counter(m, parent))
            store(interned.summary, new_counter().ptr());
        return obj;
    }

    nb::object or_free_form(nb::object typed, PyObject* written) {
        return typed.ptr() == written ? free_form(written) : typed;
    }

    // Free-form data is kept as decoded, with one exception: YAML writes every plain
    // mapping sorted, so a mapping that ends in total, success_rate (out of order) can
    // only be a counter, and reads back as one. JSON cannot tell, and keeps mappings.
    nb::object free_form(PyObject* value) {
        if (ctx_.format != SourceFormat::Yaml) return nb::borrow(value);
        if (PyList_CheckExact(value)) {
            RecursionGuard guard(" while loading a report tree");
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                PyObject* item = PyList_GET_ITEM(value, i);
                if (!PyList_CheckExact(item) && !PyDict_CheckExact(item)) continue;
                nb::object held = nb::borrow(item);
                nb::object read = free_form(held.ptr());
                if (read.ptr() != held.ptr())
                    check_status(PyList_SetItem(value, i, read.release().ptr()));
            }
        } else if (PyDict_CheckExact(value)) {
            RecursionGuard guard(" while loading a report tree");
            if (ends_like_counter(value)) {
                nb::object counter = read_counter(value, ctx_);
                if (counter.ptr() != value) return counter;
            }
            nb::object keys = check(PyDict_Keys(value));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
                PyObject* key = PyList_GET_ITEM(keys.ptr(), i);
                PyObject* item = PyDict_GetItemWithError(value, key);
                if (!item) {
                    if (PyErr_Occurred()) throw nb::python_error();
                    continue;
                }
                if (!PyList_CheckExact(item) && !PyDict_CheckExact(item)) continue;
                nb::object held = nb::borrow(item);
                nb::object read = free_form(held.ptr());
                if (read.ptr() != held.ptr()) check_status(PyDict_SetItem(value, key, read.ptr()));
            }
        }
        return nb::borrow(value);
    }

    static bool ends_like_counter(PyObject* mapping) {
        Py_ssize_t size = PyDict_GET_SIZE(mapping);
        if (size < 2) return false;
        Py_ssize_t pos = 0, index = 0;
        PyObject *k, *v, *before_last = nullptr, *last = nullptr;
        while (PyDict_Next(mapping, &pos, &k, &v)) {
            if (++index >= size - 1) (index == size ? last : before_last) = k;
        }
        return before_last && last && PyUnicode_Check(before_last) && PyUnicode_Check(last) &&
               PyUnicode_Compare(before_last, interned.total) == 0 &&
               PyUnicode_Compare(last, interned.success_rate) == 0;
    }

    void children(PyObject* obj, NodeKind kind, PyObject* key, PyObject* entries) {
        const char* name = PyUnicode_AsUTF8(key);
        if (!name) throw nb::python_error();
        if (!PyList_Check(entries))
            fail(std::string("has '") + name + "' that is not a list (" +
                 Py_TYPE(entries)->tp_name + ")");
        nb::object list = get_attr(obj, key);
        if (!PyList_Check(list.ptr())) fail(std::string("has no list '") + name + "'");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            nb::object entry = nb::borrow(PyList_GET_ITEM(entries, i));
            signals_.step();
            path_.push_back({name, i});
            NodeKind child = child_kind(entry.ptr(), kind);
            if (child == NodeKind::Other) not_a_node();
            nb::object seq = check(PyLong_FromSsize_t(i + 1));
            nb::object built = node(entry.ptr(), child, obj, seq.ptr());
            check_status(PyList_Append(list.ptr(), built.ptr()));
            path_.pop_back();
        }
    }
};

} // namespace

nb::object build_tree(PyObject* report, const FieldContext& ctx) {
    Builder builder(ctx);
    return builder.root(report);
}

} // namespace korvo::campaign::load
