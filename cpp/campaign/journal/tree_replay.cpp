#include "campaign/journal/tree_replay.hpp"

#include "campaign/journal/expansion.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"

namespace korvo::campaign::journal {

namespace {

void set(nb::object& dict, const char* key, PyObject* value) {
    check_status(PyDict_SetItemString(dict.ptr(), key, value));
}

} // namespace

TreeReplay::TreeReplay(bool events) : values_(in_, nodes_, poll_), record_events_(events) {
    unknown_ = check(PyList_New(0));
}

void TreeReplay::apply(std::string_view line) {
    in_.reset(line);
    in_.expect('[');
    while (in_.peek() != '"') {
        poll_.step();
        operation();
        in_.expect(',');
    }
}

nb::object TreeReplay::open_nodes() const {
    nb::object open = check(PyList_New(0));
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (open_[i]) check_status(PyList_Append(open.ptr(), nodes_[i].ptr()));
    return open;
}

nb::object TreeReplay::result(nb::object damage) const {
    nb::object out = check(PyDict_New());
    nb::object open = open_nodes();
    set(out, "root", nodes_.empty() ? Py_None : nodes_[0].ptr());
    set(out, "nodes", check(PyLong_FromSize_t(nodes_.size())).ptr());
    set(out, "open", open.ptr());
    set(out, "unknown", unknown_.ptr());
    set(out, "damage", damage.ptr());
    set(out, "closed", closed_ ? Py_True : Py_False);
    return out;
}

void TreeReplay::check_expansion(uint64_t file_bytes) const {
    journal::check_expansion(nodes_, file_bytes);
}

// Attribute names repeat on every record; each is decoded and interned once.
nb::object TreeReplay::name() {
    std::string scratch;
    std::string_view raw = in_.raw_text(scratch);
    auto found = names_.find(std::string(raw));
    if (found != names_.end()) return found->second;
    PyObject* interned_name = decode_text(raw).release().ptr();
    PyUnicode_InternInPlace(&interned_name);
    nb::object out = nb::steal(interned_name);
    names_.emplace(std::string(raw), out);
    return out;
}

// A value of attribute `attr` of a node; what of it was kept only as text waits in `kept`
// until the node is known (a node-creation record reads values before its node exists).
nb::object TreeReplay::value_of(PyObject* attr, Kept& kept) {
    nb::object v = values_.value();
    for (nb::object& text : values_.take_kept())
        kept.emplace_back(nb::borrow(attr), std::move(text));
    return v;
}

void TreeReplay::file_kept(PyObject* node, Kept& kept) {
    for (auto& [attr, text] : kept) {
        nb::object place = check(Py_BuildValue("(OOO)", node, attr.ptr(), text.ptr()));
        check_status(PyList_Append(unknown_.ptr(), place.ptr()));
    }
    kept.clear();
}

size_t TreeReplay::node_index() {
    long long n = in_.integer();
    if (n < 0 || size_t(n) >= nodes_.size()) throw Malformed("reference to an unknown node");
    return size_t(n);
}

void TreeReplay::operation() {
    in_.expect('[');
    std::string scratch;
    std::string op(in_.raw_text(scratch));
    if (op == "+") {
        add_node();
    } else if (op == "=") {
        in_.expect(',');
        size_t n = node_index();
        nb::object node = nodes_[n];
        Kept kept;
        while (in_.accept(',')) {
            nb::object attr = name();
            in_.expect(',');
            nb::object v = value_of(attr.ptr(), kept);
            set_attr(node.ptr(), attr.ptr(), v.ptr());
            file_kept(node.ptr(), kept);
            if (attr.ptr() == interned.starttime && !v.is_none()) {
                open_[n] = 1;
                note(Event::started, n);
            }
        }
    } else if (op == "-") {
        in_.expect(',');
        size_t n = node_index();
        in_.expect(',');
        nb::object attr = name();
        if (PyObject_DelAttr(nodes_[n].ptr(), attr.ptr()) < 0) PyErr_Clear();
    } else if (op == "s") {
        in_.expect(',');
        size_t n = node_index();
        open_[n] = 0;
        note(Event::stopped, n);
    } else if (op == "end") {
        closed_ = true;
        note(Event::end, 0);
    } else {
        throw Malformed("unknown operation " + op);
    }
    in_.expect(']');
}

void TreeReplay::add_node() {
    in_.expect(',');
    if (in_.integer() != (long long)nodes_.size()) throw Malformed("nodes out of order");
    in_.expect(',');
    nb::object parent;
    if (!in_.accept('n')) {
        parent = nodes_[node_index()];
    } else {
        in_.expect("ull");
    }
    in_.expect(',');
    nb::object list_name = in_.peek() == 'n' ? values_.value() : name();
    if (!list_name.is_none() && !PyUnicode_Check(list_name.ptr()))
        throw Malformed("bad child list name");
    in_.expect(',');
    nb::object cls_name = name();
    static const char* const known[] = {"Campaign", "Task", "Section", "Plugin",
                                        "ReportObjectBase"};
    bool ok = false;
    for (const char* k : known)
        ok = ok || PyUnicode_CompareWithASCIIString(cls_name.ptr(), k) == 0;
    if (!ok) throw Malformed("unknown node class");
    Kept kept;
    in_.expect(',');
    nb::object id = value_of(interned.id, kept);
    in_.expect(',');
    nb::object seq_num = value_of(interned.seq_num, kept);
    in_.expect(',');
    nb::object type = value_of(interned.type, kept);
    nb::object kwargs = check(PyDict_New());
    check_status(PyDict_SetItem(kwargs.ptr(), interned.id, id.ptr()));
    check_status(PyDict_SetItem(kwargs.ptr(), interned.seq_num, seq_num.ptr()));
    if (parent) check_status(PyDict_SetItem(kwargs.ptr(), interned.parent, parent.ptr()));
    if (!type.is_none()) check_status(PyDict_SetItem(kwargs.ptr(), interned.type, type.ptr()));
    nb::object cls = module_global(cls_name.ptr());
    nb::object empty = check(PyTuple_New(0));
    nb::object node = check(PyObject_Call(cls.ptr(), empty.ptr(), kwargs.ptr()));
    if (parent && !list_name.is_none()) {
        nb::object children = get_attr(parent.ptr(), list_name.ptr());
        if (PyList_CheckExact(children.ptr()))
            check_status(PyList_Append(children.ptr(), node.ptr()));
        else
            check(PyObject_CallMethodObjArgs(children.ptr(), interned.append, node.ptr(), nullptr));
    }
    nodes_.push_back(node);
    open_.push_back(0);
    note(Event::added, nodes_.size() - 1);
    file_kept(node.ptr(), kept);
}

} // namespace korvo::campaign::journal
