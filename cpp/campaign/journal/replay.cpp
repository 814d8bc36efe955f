// The tree operations of the journal's records, and the replay of a whole file. Reading the
// file is journal_lines' job, tokens json_cursor's and values value_reader's.
#include "campaign/journal/replay.hpp"

#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "campaign/journal/expansion.hpp"
#include "campaign/journal/journal_lines.hpp"
#include "campaign/journal/json_cursor.hpp"
#include "campaign/journal/value_reader.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/gc_pause.hpp"

namespace korvo::campaign::journal {

namespace {

class Replay {
  public:
    Replay() : values_(in_, nodes_, poll_) { unknown_ = check(PyList_New(0)); }

    // One record line, checksum already checked.
    void apply(std::string_view line) {
        in_.reset(line);
        in_.expect('[');
        while (in_.peek() != '"') {
            poll_.step();
            operation();
            in_.expect(',');
        }
    }

    nb::object result(nb::object damage) {
        nb::object out = check(PyDict_New());
        nb::object open = check(PyList_New(0));
        for (size_t i = 0; i < nodes_.size(); ++i)
            if (open_[i]) check_status(PyList_Append(open.ptr(), nodes_[i].ptr()));
        set(out, "root", nodes_.empty() ? Py_None : nodes_[0].ptr());
        set(out, "nodes", check(PyLong_FromSize_t(nodes_.size())).ptr());
        set(out, "open", open.ptr());
        set(out, "unknown", unknown_.ptr());
        set(out, "damage", damage.ptr());
        set(out, "closed", closed_ ? Py_True : Py_False);
        return out;
    }

  private:
    static void set(nb::object& dict, const char* key, PyObject* value) {
        check_status(PyDict_SetItemString(dict.ptr(), key, value));
    }

    // Attribute names repeat on every record; each is decoded and interned once.
    nb::object name() {
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

    // A value of attribute `attr` of a node; what of it was kept only as text waits in
    // `kept` until the node is known (a node-creation record reads values before its node
    // exists).
    nb::object value_of(PyObject* attr, std::vector<std::pair<nb::object, nb::object>>& kept) {
        nb::object v = values_.value();
        for (nb::object& text : values_.take_kept())
            kept.emplace_back(nb::borrow(attr), std::move(text));
        return v;
    }

    void file_kept(PyObject* node, std::vector<std::pair<nb::object, nb::object>>& kept) {
        for (auto& [attr, text] : kept) {
            nb::object place = check(Py_BuildValue("(OOO)", node, attr.ptr(), text.ptr()));
            check_status(PyList_Append(unknown_.ptr(), place.ptr()));
        }
        kept.clear();
    }

    size_t node_index() {
        long long n = in_.integer();
        if (n < 0 || size_t(n) >= nodes_.size()) throw Malformed("reference to an unknown node");
        return size_t(n);
    }

    void operation() {
        in_.expect('[');
        std::string scratch;
        std::string op(in_.raw_text(scratch));
        if (op == "+") {
            add_node();
        } else if (op == "=") {
            in_.expect(',');
            size_t n = node_index();
            nb::object node = nodes_[n];
            std::vector<std::pair<nb::object, nb::object>> kept;
            while (in_.accept(',')) {
                nb::object attr = name();
                in_.expect(',');
                nb::object v = value_of(attr.ptr(), kept);
                set_attr(node.ptr(), attr.ptr(), v.ptr());
                file_kept(node.ptr(), kept);
                if (attr.ptr() == interned.starttime && !v.is_none()) open_[n] = 1;
            }
        } else if (op == "-") {
            in_.expect(',');
            size_t n = node_index();
            in_.expect(',');
            nb::object attr = name();
            if (PyObject_DelAttr(nodes_[n].ptr(), attr.ptr()) < 0) PyErr_Clear();
        } else if (op == "s") {
            in_.expect(',');
            open_[node_index()] = 0;
        } else if (op == "end") {
            closed_ = true;
        } else {
            throw Malformed("unknown operation " + op);
        }
        in_.expect(']');
    }

    void add_node() {
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
        std::vector<std::pair<nb::object, nb::object>> kept;
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
                check(PyObject_CallMethodObjArgs(children.ptr(), interned.append, node.ptr(),
                                                 nullptr));
        }
        nodes_.push_back(node);
        open_.push_back(0);
        file_kept(node.ptr(), kept);
    }

  public:
    bool closed_ = false;
    bool interrupted() const { return poll_.raised(); }
    void check_expansion(uint64_t file_bytes) const {
        journal::check_expansion(nodes_, file_bytes);
    }

  private:
    JsonCursor in_;
    std::vector<nb::object> nodes_;
    ReplayPoll poll_;
    ValueReader values_;
    nb::object unknown_;
    std::vector<char> open_;
    std::unordered_map<std::string, nb::object> names_;
};

nb::object damage_at(size_t line_number, uint64_t offset, const char* what) {
    return check(Py_BuildValue("(nKs)", Py_ssize_t(line_number), (unsigned long long)offset, what));
}

nb::object replay_lines(JournalLines& lines) {
    // Replay makes the whole tree at once; nothing it makes is garbage before it ends.
    GcPause pause;
    Replay replay;
    nb::object damage = nb::none();
    std::string_view line;
    while (lines.next(line)) {
        try {
            replay.apply(line);
        } catch (Malformed& e) {
            damage = damage_at(lines.line_number(), lines.line_offset(), e.what());
            break;
        } catch (nb::python_error& e) {
            // A signal handler's exception, or a failure of the interpreter itself (Ctrl-C,
            // no memory), ends the replay; any other failure means the record is wrong.
            if (replay.interrupted() || !e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError))
                throw;
            nb::object text = check(PyObject_Str(e.value().ptr()));
            const char* s = PyUnicode_AsUTF8(text.ptr());
            if (!s) PyErr_Clear();
            damage = damage_at(lines.line_number(), lines.line_offset(),
                               s ? s : "record cannot be applied");
            break;
        }
    }
    if (lines.damage())
        damage = damage_at(lines.line_number(), lines.line_offset(), lines.damage());
    replay.check_expansion(lines.bytes_read());
    return replay.result(damage);
}

} // namespace

nb::object replay_journal(PyObject* path) {
    JournalLines lines(path);
    try {
        return replay_lines(lines);
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_MemoryError)) throw;
        e.restore();
    }
    // What was made so far is gone: say so, with the place, as unusable input.
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "the journal does not fit in memory (from line %zu on): %R",
                 lines.line_number(), path);
    throw nb::python_error();
}

} // namespace korvo::campaign::journal
