#include "campaign/journal/journal_writer.hpp"

#include <fcntl.h>
#include <structmember.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>

#include "campaign/journal/crc32.hpp"
#include "campaign/journal/fingerprint.hpp"
#include "campaign/journal/record_format.hpp"
#include "campaign/journal/registry.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "files/safe_file.hpp"

namespace korvo::campaign::journal {

namespace {

const char* const kDurabilityNames[] = {"flush", "fsync", "batch"};

// 0, or the errno of the write that failed.
int write_fully(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += done;
        n -= size_t(done);
    }
    return 0;
}

[[noreturn]] void raise_os_error(int error, PyObject* path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw nb::python_error();
}

// The name of the class recovery makes the node of: ours, or the nearest of ours below a
// subclass (recovery never imports the harness's own classes).
const char* native_class_name(PyObject* node) {
    for (PyTypeObject* t = Py_TYPE(node); t; t = t->tp_base) {
        if (t == campaign_module.campaign_type) return "Campaign";
        if (t == campaign_module.task_type) return "Task";
        if (t == campaign_module.section_type) return "Section";
        if (t == campaign_module.plugin_type) return "Plugin";
        if (t == campaign_module.base_type) return "ReportObjectBase";
    }
    return "ReportObjectBase";
}

PyObject* instance_dict(PyObject* node) {
    PyObject** slot = instance_dict_slot(node);
    return slot ? *slot : nullptr;
}

// The list of children a node keeps: "tasks" on a Campaign, "sections" elsewhere.
PyObject* children_name(PyObject* node) {
    PyObject* dict = instance_dict(node);
    if (dict && PyDict_GetItem(dict, interned.tasks)) return interned.tasks;
    return interned.sections;
}

// The node's stop has run: the model sets its stop time then (when it had started), and a
// start after it (a node started again) sets a later start time.
bool has_stopped(PyObject* node) {
    PyObject* dict = instance_dict(node);
    if (!dict) return false;
    nb::object stoptime = nb::borrow(PyDict_GetItem(dict, interned.stoptime));
    if (!stoptime || stoptime.is_none()) return false;
    nb::object starttime = nb::borrow(PyDict_GetItem(dict, interned.starttime));
    if (!starttime || starttime.is_none()) return true;
    int restarted = PyObject_RichCompareBool(stoptime.ptr(), starttime.ptr(), Py_LT);
    if (restarted < 0) {
        nb::python_error e;
        if (!is_value_failure(e)) throw e; // times that cannot be compared: stopped
        return true;
    }
    return !restarted;
}

bool is_children_list(PyObject* name, PyObject* value) {
    return PyList_Check(value) && (name == interned.tasks || name == interned.sections);
}

long long number_in(void* journal, PyObject* node) {
    JournalSlot slot = journal_of(node);
    if (slot.journal != journal) return -1;
    return slot.number;
}

void fsync_directory_of(PyObject* path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) throw nb::python_error();
    nb::object bytes = nb::steal(raw);
    std::string text(PyBytes_AS_STRING(raw), size_t(PyBytes_GET_SIZE(raw)));
    size_t slash = text.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

JournalWriter::JournalWriter(PyObject* path, Durability durability)
    : path_(nb::borrow(path)), durability_(durability) {
    nb::object results = check(PyImport_ImportModule("korvo.results"));
    nb::object result_type = module_global(interned.TestResult);
    PyObject* names = PyModule_GetDict(results.ptr());
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(names, &pos, &k, &v)) {
        if ((PyObject*)Py_TYPE(v) != result_type.ptr() || !PyUnicode_Check(k)) continue;
        const char* s = PyUnicode_AsUTF8(k);
        if (!s) throw nb::python_error();
        named_results_.emplace(v, s);
    }
    named_results_holder_ = results;
    types_[0] = result_type;
    types_[1] = module_global(interned.ResultCounter);
    types_[2] = module_global(interned.AttrDict);
    context_ = ValueContext{&texts_,         &objects_,       &number_in,      this,
                            &named_results_, types_[0].ptr(), types_[1].ptr(), types_[2].ptr()};

    fd_ = files::open_for_append(path_, durability_ == Durability::Flush);
    struct stat st;
    if (::fstat(fd_, &st) == 0 && st.st_size > 0) {
        ::close(fd_);
        fd_ = -1;
        PyErr_Format(PyExc_FileExistsError, "a journal must start in a new or empty file: %R",
                     path);
        throw nb::python_error();
    }
    if (durability_ == Durability::Fsync) fsync_directory_of(path);

    line_ = kHeaderStart;
    line_ += std::to_string(kFormatVersion);
    line_ += ",\"durability\":\"";
    line_ += kDurabilityNames[int(durability_)];
    line_ += "\",\"crc\":";
    seal_line('}');
}

void JournalWriter::begin(PyObject* root) {
    try {
        building_ = true;
        snapshot(root);
        building_ = false;
        if (closed_ || in_forked_child()) return; // forked by a repr: see hand_over()
        write_all(line_.data(), line_.size());
        if (durability_ == Durability::Fsync && ::fsync(fd_) != 0)
            raise_os_error(errno, path_.ptr());
        // The header and the tree are written first, so the file never starts with zeros.
        off_t at = ::lseek(fd_, 0, SEEK_CUR);
        if (durability_ == Durability::Flush && at >= 0) (void)map_.start(fd_, uint64_t(at));
    } catch (...) {
        building_ = false;
        pending_.clear();
        for (PyObject* node : nodes_)
            unwatch_node(node);
        ::close(fd_);
        fd_ = -1;
        closed_ = true;
        throw;
    }
    line_.clear();
    if (durability_ == Durability::Batch) flusher_ = std::thread([this] { flusher_loop(); });
    // What Python code changed while the tree was read (a value's repr, say).
    if (!pending_.empty()) {
        pending_owner_ = nullptr;
        operation_done(false);
    }
}

JournalWriter::~JournalWriter() {
    if (!closed_) {
        try {
            close();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("closing a journal");
        }
    }
    for (PyObject* node : nodes_)
        Py_DECREF(node);
}

uint32_t JournalWriter::take_on(PyObject* node) {
    auto number = uint32_t(nodes_.size());
    Py_INCREF(node);
    nodes_.push_back(node);
    watch_node(node, this, number);
    return number;
}

// The tree as it stands: each node made, then given its whole state, parents first.
void JournalWriter::snapshot(PyObject* root) {
    ++serial_;
    size_t start = line_.size();
    line_ += '[';
    struct Item {
        nb::object node;
        long long parent;
        PyObject* list;
    };
    std::vector<Item> stack{{nb::borrow(root), -1, nullptr}};
    while (!stack.empty()) {
        Item item = std::move(stack.back());
        stack.pop_back();
        if (journal_of(item.node.ptr()).journal) {
            if (item.parent < 0)
                raise(PyExc_ValueError, "this tree already has a journal attached");
            continue; // a node listed twice is recorded once
        }
        uint32_t number = take_on(item.node.ptr());
        write_add(number, item.parent, item.list);
        line_ += ',';
        write_state(number);
        // Stopped before the journal began: replay must not take it for one still running.
        if (has_stopped(item.node.ptr())) write_stop(number);
        PyObject* list_name = children_name(item.node.ptr());
        nb::object children = optional_attr(item.node.ptr(), list_name);
        if (!children || !PyList_Check(children.ptr())) continue;
        for (Py_ssize_t i = PyList_GET_SIZE(children.ptr()); i-- > 0;) {
            PyObject* child = PyList_GET_ITEM(children.ptr(), i);
            if (is_node(child)) stack.push_back({nb::borrow(child), number, list_name});
        }
    }
    seal_line(']', start);
}

long long JournalWriter::node_number(PyObject* node) const {
    return number_in(const_cast<JournalWriter*>(this), node);
}

void JournalWriter::pend(Pending p) {
    if (pending_.empty()) pending_owner_ = PyThreadState_Get();
    pending_.push_back(std::move(p));
}

bool JournalWriter::pending_mine() const {
    return !pending_owner_ || pending_owner_ == PyThreadState_Get();
}

void JournalWriter::changed(uint32_t node, PyObject* attr) {
    if (!PyUnicode_Check(attr)) return;
    // An operation changes a handful of attributes: a scan beats a hash set.
    for (const Pending& p : pending_)
        if (p.node == node && p.kind == '=' && p.name.ptr() == attr) return;
    pend(Pending{'=', node, 0, nb::borrow(attr)});
}

void JournalWriter::added(uint32_t parent, PyObject* list_name, PyObject* child) {
    if (journal_of(child).journal) return;
    uint32_t number = take_on(child);
    pend(Pending{'+', number, parent, nb::borrow(list_name)});
    // A subclass's constructor may set more than ours; its whole state is recorded.
    if (exact_kind(child) == NodeKind::Other) pend(Pending{'F', number, 0, nb::object()});
}

void JournalWriter::stopped(uint32_t node, PyObject* obj) {
    pend(Pending{'s', node, 0, nb::object()});
    stop_seen_ = true;
    if (PyObject_TypeCheck(obj, campaign_module.task_type)) task_stop_seen_ = true;
}

void JournalWriter::operation_done(bool failing) {
    if (closed_) return;
    if (building_) {
        // Python code run by the record being built changed the tree: the next record.
        pending_owner_ = nullptr;
        return;
    }
    try {
        raise_kept_error();
        if (pending_.empty() || !pending_mine()) return;
        write_pending();
        // Changes made while that record was built; any made while this one is built wait
        // for the next operation, so a repr that always assigns cannot keep the writer going.
        if (!pending_.empty()) write_pending();
    } catch (nb::python_error& e) {
        if (!failing) throw;
        e.discard_as_unraisable("writing the journal");
    } catch (...) {
        if (!failing) throw; // out of memory: the changes stay pending
    }
}

// One record of the pending changes, handed to the file.
void JournalWriter::write_pending() {
    std::vector<Pending>& work = spare_;
    work.swap(pending_);
    bool stop_seen = stop_seen_, task_stop_seen = task_stop_seen_;
    stop_seen_ = task_stop_seen_ = false;
    pending_owner_ = nullptr;
    size_t objects_mark = objects_.size(), flagged_mark = flagged_;
    building_ = true;
    try {
        build_record(work);
    } catch (...) {
        // A value raised what must reach the caller (KeyboardInterrupt, MemoryError). No
        // part of the record stays: the objects and texts it introduced are forgotten and
        // its changes wait, ahead of any made meanwhile, for the next record.
        building_ = false;
        objects_.truncate(objects_mark);
        flagged_ = flagged_mark;
        for (const Pending& p : work)
            if (p.kind == '=') forget_written(p.node, p.name.ptr());
        work.insert(work.end(), std::make_move_iterator(pending_.begin()),
                    std::make_move_iterator(pending_.end()));
        pending_.swap(work);
        work.clear();
        stop_seen_ = stop_seen_ || stop_seen;
        task_stop_seen_ = task_stop_seen_ || task_stop_seen;
        pending_owner_ = nullptr;
        throw;
    }
    building_ = false;
    work.clear();
    hand_over(stop_seen, task_stop_seen);
}

void JournalWriter::build_record(const std::vector<Pending>& work) {
    ++serial_;
    line_.assign(1, '[');
    for (const Pending& p : work) {
        if (p.kind != '+') continue;
        write_add(p.node, p.parent, p.name.ptr());
        line_ += ',';
    }
    long long open = -1;     // the node whose "=" operation is being written
    size_t open_at = 0;      // where that operation starts in line_
    bool open_empty = false; // every value of it was left out as unchanged
    auto close_open = [&] {
        if (open >= 0 && open_empty)
            line_.resize(open_at);
        else if (open >= 0)
            line_ += "],";
        open = -1;
    };
    for (const Pending& p : work) {
        switch (p.kind) {
        case '=': {
            PyObject* node = nodes_[p.node];
            nb::object value;
            if (PyObject* dict = instance_dict(node)) {
                PyObject* found = PyDict_GetItemWithError(dict, p.name.ptr());
                if (!found && PyErr_Occurred()) throw nb::python_error();
                if (found) value = nb::borrow(found);
            }
            if (!value) value = optional_attr(node, p.name.ptr());
            if (!value) {
                close_open();
                forget_written(p.node, p.name.ptr());
                line_ += "[\"-\",";
                append_int(line_, p.node);
                line_ += ",";
                texts_.append(line_, p.name.ptr());
                line_ += "],";
                break;
            }
            ResultFields fields;
            bool is_result =
                p.name.ptr() != interned.starttime && result_fields(value.ptr(), fields);
            if (is_result && same_result(p.node, p.name.ptr(), fields)) break;
            if (open != p.node) {
                close_open();
                open_at = line_.size();
                open_empty = true;
                line_ += "[\"=\",";
                append_int(line_, p.node);
                open = p.node;
            }
            size_t entry_at = line_.size();
            line_ += ',';
            texts_.append(line_, p.name.ptr());
            line_ += ',';
            size_t value_at = line_.size();
            ValueWriter writer(context_, line_, serial_);
            writer.value(value.ptr());
            flagged_ += writer.flagged();
            if (unchanged(p.node, p.name.ptr(), value_at,
                          !writer.numbered_any() && !writer.flagged(),
                          is_result ? &fields : nullptr))
                line_.resize(entry_at);
            else
                open_empty = false;
            break;
        }
        case 'F':
            close_open();
            write_state(p.node);
            break;
        case 's':
            close_open();
            write_stop(p.node);
            break;
        default:
            break;
        }
    }
    close_open();
    seal_line();
}

// Roll-ups store a new but equal result in every ancestor at each child's stop; a value
// written exactly as last time for the same attribute is left out. Only values without
// numbered objects qualify (those carry identity, not just text), and never a start time,
// which tells replay that the node runs.
bool JournalWriter::unchanged(uint32_t node, PyObject* name, size_t value_at, bool plain,
                              ResultFields* result) {
    size_t length = line_.size() - value_at;
    if (!plain || length > 255 || name == interned.starttime) {
        forget_written(node, name);
        return false;
    }
    uint64_t print = fingerprint(line_.data() + value_at, length);
    if (written_.size() <= node) written_.resize(nodes_.size());
    for (Written& w : written_[node]) {
        if (w.name != name) continue;
        bool same = w.print == print && w.length == length;
        w.print = print;
        w.length = uint32_t(length);
        w.result = result ? std::move(*result) : ResultFields{};
        return same;
    }
    auto& list = written_[node];
    if (list.empty()) list.reserve(6); // a node's start and stop set about six
    list.push_back(
        Written{name, print, uint32_t(length), result ? std::move(*result) : ResultFields{}});
    return false;
}

namespace {

// Held, these write the same text whenever they are the same object.
bool immutable_scalar(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyBool_Type;
}

} // namespace

bool JournalWriter::read_result_slots(PyObject* value, ResultFields& out) const {
    auto* type = (PyTypeObject*)types_[0].ptr();
    ResultSlots& slots = result_slots_;
    if (!slots.version || type->tp_version_tag != slots.version) {
        // Looked up again after any change to the class (its version tag changes).
        slots = ResultSlots{};
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ||
            type->tp_getattro != PyObject_GenericGetAttr)
            return false;
        PyObject* names[3] = {interned.name, interned.reason, interned.data};
        for (int i = 0; i < 3; ++i) {
            PyObject* descr = _PyType_Lookup(type, names[i]);
            if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return false;
            PyMemberDef* member = ((PyMemberDescrObject*)descr)->d_member;
            if (member->type != T_OBJECT_EX && member->type != T_OBJECT) return false;
            slots.offset[i] = member->offset;
            slots.required[i] = member->type == T_OBJECT_EX;
        }
        slots.version = type->tp_version_tag; // set by the lookups above
        slots.usable = slots.version != 0;
    }
    if (!slots.usable) return false;
    nb::object* fields[3] = {&out.name, &out.reason, &out.data};
    for (int i = 0; i < 3; ++i) {
        PyObject* v = *(PyObject**)((char*)value + slots.offset[i]);
        if (!v && slots.required[i]) return false;
        *fields[i] = nb::borrow(v ? v : Py_None);
    }
    return true;
}

bool JournalWriter::result_fields(PyObject* value, ResultFields& out) const {
    if ((PyObject*)Py_TYPE(value) != types_[0].ptr() || named_results_.count(value)) return false;
    // The class's own slots: reading them runs no Python code.
    if (read_result_slots(value, out))
        return PyUnicode_CheckExact(out.name.ptr()) && immutable_scalar(out.reason.ptr()) &&
               immutable_scalar(out.data.ptr());
    try {
        out.name = optional_attr(value, interned.name);
        out.reason = attr_or_none(value, interned.reason);
        out.data = attr_or_none(value, interned.data);
    } catch (nb::python_error& e) {
        if (!is_value_failure(e)) throw;
        return false;
    }
    return out.name && PyUnicode_CheckExact(out.name.ptr()) && immutable_scalar(out.reason.ptr()) &&
           immutable_scalar(out.data.ptr());
}

bool JournalWriter::same_result(uint32_t node, PyObject* name, const ResultFields& fields) const {
    if (written_.size() <= node) return false;
    for (const Written& w : written_[node]) {
        if (w.name != name) continue;
        return w.result.name.ptr() == fields.name.ptr() &&
               w.result.reason.ptr() == fields.reason.ptr() &&
               w.result.data.ptr() == fields.data.ptr();
    }
    return false;
}

void JournalWriter::forget_written(uint32_t node, PyObject* name) {
    if (written_.size() <= node) return;
    auto& list = written_[node];
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].name == name) {
            list.erase(list.begin() + long(i));
            return;
        }
}

void JournalWriter::write_add(uint32_t number, long long parent, PyObject* list_name) {
    PyObject* node = nodes_[number];
    PyObject* dict = instance_dict(node);
    auto field = [&](PyObject* name) -> nb::object {
        PyObject* found = dict ? PyDict_GetItem(dict, name) : nullptr;
        return found ? nb::borrow(found) : nb::none();
    };
    const char* cls = native_class_name(node);
    line_ += "[\"+\",";
    append_int(line_, number);
    line_ += ",";
    if (parent < 0)
        line_ += "null";
    else
        append_int(line_, parent);
    line_ += ',';
    if (list_name)
        texts_.append(line_, list_name);
    else
        line_ += "null";
    line_ += ",\"";
    line_ += cls;
    line_ += "\",";
    ValueWriter writer(context_, line_, serial_);
    writer.value(field(interned.id).ptr());
    line_ += ',';
    writer.value(field(interned.seq_num).ptr());
    line_ += ',';
    nb::object type = field(interned.type);
    bool default_type = exact_kind(node) != NodeKind::Other && PyUnicode_CheckExact(type.ptr()) &&
                        PyUnicode_CompareWithASCIIString(type.ptr(), cls) == 0;
    if (default_type)
        line_ += "null";
    else
        writer.value(type.ptr());
    line_ += ']';
    flagged_ += writer.flagged();
}

// Every attribute the node holds (its children come with their own "+" operations).
void JournalWriter::write_state(uint32_t number) {
    PyObject* dict = instance_dict(nodes_[number]);
    line_ += "[\"=\",";
    append_int(line_, number);
    if (dict) {
        nb::object items = check(PyDict_Items(dict));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
            PyObject* name = PyTuple_GET_ITEM(pair, 0);
            PyObject* value = PyTuple_GET_ITEM(pair, 1);
            if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "_parent") == 0 ||
                is_children_list(name, value))
                continue;
            line_ += ',';
            texts_.append(line_, name);
            line_ += ',';
            ValueWriter writer(context_, line_, serial_);
            writer.value(value);
            flagged_ += writer.flagged();
        }
    }
    line_ += "],";
}

void JournalWriter::write_stop(uint32_t number) {
    line_ += "[\"s\",";
    append_int(line_, number);
    line_ += "],";
}

// Ends the line with its checksum, "XXXXXXXX"] (or } for the header), and a line break.
void JournalWriter::seal_line(char closing, size_t start) {
    chain_ = crc32(chain_, line_.data() + start, line_.size() - start);
    static const char hex[] = "0123456789abcdef";
    char tail[12] = {'"'};
    for (int i = 0; i < 8; ++i)
        tail[1 + i] = hex[(chain_ >> (28 - 4 * i)) & 15];
    tail[9] = '"';
    tail[10] = closing;
    tail[11] = '\n';
    line_.append(tail, sizeof tail);
}

void JournalWriter::hand_over(bool stop_seen, bool task_stop_seen) {
    // A child forked while the record was built (by a value's repr) finishes building it,
    // but the file is the parent's, and so is its mapping, which the child has no copy of.
    if (closed_ || in_forked_child()) return;
    if (durability_ == Durability::Batch) {
        {
            std::lock_guard<std::mutex> lock(batch_mutex_);
            batch_ += line_;
        }
        if (task_stop_seen) {
            flush_batch();
            raise_kept_error();
        }
        return;
    }
    if (int error = put(line_.data(), line_.size())) {
        write_errno_ = error;
        raise_os_error(error, path_.ptr());
    }
    if (durability_ == Durability::Fsync && stop_seen && ::fsync(fd_) != 0)
        raise_os_error(errno, path_.ptr());
}

void JournalWriter::write_all(const char* data, size_t n) {
    if (int error = write_fully(fd_, data, n)) {
        write_errno_ = error;
        raise_os_error(error, path_.ptr());
    }
}

int JournalWriter::put(const char* data, size_t n) {
    if (map_.active()) {
        int error = map_.append(data, n);
        // EOPNOTSUPP: the file could not grow through the mapping, which has ended.
        if (error != EOPNOTSUPP) return error;
    }
    return write_fully(fd_, data, n);
}

void JournalWriter::raise_kept_error() {
    if (int error = write_errno_.load()) raise_os_error(error, path_.ptr());
}

void JournalWriter::flusher_loop() {
    std::unique_lock<std::mutex> lock(batch_mutex_);
    while (!closing_) {
        wake_.wait_for(lock, std::chrono::milliseconds(200));
        lock.unlock();
        flush_batch();
        lock.lock();
    }
}

// Writes what batch mode holds back; runs on the flusher thread without the interpreter.
void JournalWriter::flush_batch() {
    std::lock_guard<std::mutex> writing(write_mutex_);
    std::string out;
    {
        std::lock_guard<std::mutex> lock(batch_mutex_);
        out.swap(batch_);
    }
    if (out.empty() || write_errno_) return;
    if (int error = write_fully(fd_, out.data(), out.size())) write_errno_ = error;
}

void JournalWriter::close() {
    if (closed_) return;
    // Changes kept back by an interrupted record, or made while the last one was built.
    std::exception_ptr unwritten;
    if (!pending_.empty() && !write_errno_) {
        try {
            write_pending();
        } catch (...) {
            unwritten = std::current_exception();
        }
    }
    closed_ = true;
    if (flusher_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(batch_mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        Py_BEGIN_ALLOW_THREADS flusher_.join();
        Py_END_ALLOW_THREADS
    }
    int error = write_errno_;
    // Without what is unwritten the journal does not end: recovery treats it as cut short.
    if (!error && fd_ >= 0 && !unwritten) {
        line_ = "[[\"end\"],";
        seal_line();
        if (durability_ == Durability::Batch) {
            {
                std::lock_guard<std::mutex> lock(batch_mutex_);
                batch_ += line_;
            }
            flush_batch();
            error = write_errno_;
        } else {
            error = put(line_.data(), line_.size());
        }
        if (!error && durability_ != Durability::Flush && ::fsync(fd_) != 0) error = errno;
    }
    // The zeros after the last record go, whatever ended the journal.
    if (int cut = map_.finish(); cut && !error) error = cut;
    for (PyObject* node : nodes_)
        unwatch_node(node);
    objects_.release();
    texts_.release();
    written_.clear();
    pending_.clear();
    if (fd_ >= 0 && ::close(fd_) != 0 && !error) error = errno;
    fd_ = -1;
    if (unwritten) std::rethrow_exception(unwritten);
    if (error) raise_os_error(error, path_.ptr());
}

void JournalWriter::forsake() {
    closed_ = true;
    map_.forsake();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    for (PyObject* node : nodes_)
        unwatch_node(node);
    if (building_) return; // a repr forked: the record being built still reads the nodes
    for (PyObject* node : nodes_)
        Py_DECREF(node);
    nodes_.clear();
    objects_.release();
    texts_.release();
    pending_.clear();
}

} // namespace korvo::campaign::journal
