// One open journal: turns the changes of one report tree into records and hands them to
// the file with the durability asked for.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "campaign/journal/value_writer.hpp"
#include "common/py_support.hpp"
#include "files/append_map.hpp"

namespace korvo::campaign::journal {

enum class Durability { Flush, Fsync, Batch };

class JournalWriter {
  public:
    // Opens `path` for appending (created if missing); begin() then records the tree.
    JournalWriter(PyObject* path, Durability durability);
    ~JournalWriter();

    // Records the tree below `root` as it stands, stopped nodes as stopped. The journal is
    // already watching (registered) so that Python code run meanwhile is heard; on failure
    // the journal is closed and takes on no node.
    void begin(PyObject* root);

    // The journal's number of `node` (registered through `on_register`), or -1.
    long long node_number(PyObject* node) const;
    const std::vector<PyObject*>& nodes() const { return nodes_; }

    void changed(uint32_t node, PyObject* attr);
    void added(uint32_t parent, PyObject* list_name, PyObject* child);
    void stopped(uint32_t node, PyObject* obj);
    // Writes what the finished operation changed; with `failing` it never raises (a write
    // error is kept and raised by the next operation or by close).
    void operation_done(bool failing);
    // Writes what is still pending and the end record, flushes and closes the file; the
    // tree is left as it is.
    void close();
    // In a forked child: lets go of the tree and the file without writing anything. The
    // flusher thread and any lock it held stayed in the parent, so batch mode's state is not
    // touched; the caller abandons the object.
    void forsake();
    // A record is being built: Python code run meanwhile must not close the journal.
    bool busy() const { return building_; }

    // Values written as repr text so far.
    size_t flagged() const { return flagged_; }

  private:
    struct Pending {
        char kind; // '+' added, '=' changed, 'F' whole state, 's' stopped
        uint32_t node;
        uint32_t parent; // of a '+'
        nb::object name; // attribute or list name
    };

    uint32_t take_on(PyObject* node);
    void pend(Pending p);
    bool pending_mine() const;
    void snapshot(PyObject* root);
    void write_pending();
    void build_record(const std::vector<Pending>& work);
    void write_add(uint32_t node, long long parent, PyObject* list_name);
    void write_state(uint32_t node);
    void write_stop(uint32_t node);
    // `start`: where the line begins in line_.
    // `plain`: the value holds no numbered object and nothing kept as text.
    // `result`: the fields of a result the value is, when same_result() may judge it.
    struct ResultFields {
        nb::object name, reason, data;
    };
    bool unchanged(uint32_t node, PyObject* name, size_t value_at, bool plain,
                   ResultFields* result);
    // A result of exactly TestResult, not one of the named ones, read into `out` (false
    // for anything else, or fields whose text could differ from the same objects' last).
    bool result_fields(PyObject* value, ResultFields& out) const;
    // Where the result class keeps its fields, when they are plain slots: read straight
    // from the object while the class is unchanged since they were looked up.
    struct ResultSlots {
        unsigned int version = 0; // the class's version tag when looked up; 0: never
        bool usable = false;
        Py_ssize_t offset[3] = {}; // name, reason, data
        bool required[3] = {};     // an empty slot raises AttributeError (else reads None)
    };
    bool read_result_slots(PyObject* value, ResultFields& out) const;
    mutable ResultSlots result_slots_;
    // Whether the attribute was last written from a result with these very fields.
    bool same_result(uint32_t node, PyObject* name, const ResultFields& fields) const;
    void forget_written(uint32_t node, PyObject* name);
    void seal_line(char closing = ']', size_t start = 0);
    void hand_over(bool stop_seen, bool task_stop_seen);
    void write_all(const char* data, size_t n);
    // Appends a whole record to the file, through the mapping while there is one; 0 or errno.
    int put(const char* data, size_t n);
    void raise_kept_error();
    void flusher_loop();
    void flush_batch();

    int fd_ = -1;
    // Flush mode appends through a shared mapping of the file: a record is in the page cache
    // as soon as it is stored, with no system call per record. Where the file cannot be
    // mapped or its blocks reserved, records are written with write(2), as in the other modes.
    files::AppendMap map_;
    nb::object path_;
    Durability durability_;
    std::vector<PyObject*> nodes_; // strong references, index = node number
    std::unordered_map<PyObject*, uint32_t> numbers_;
    NumberedObjects objects_;
    TextCache texts_;
    std::unordered_map<PyObject*, std::string> named_results_;
    nb::object named_results_holder_;
    nb::object types_[3]; // TestResult, ResultCounter, AttrDict
    ValueContext context_{};

    // The fingerprint of the last text written for an attribute, per node (see unchanged()).
    // Names are compared by address: the model's are interned, and a stray equal name only
    // costs a value written again.
    // A roll-up's result, a fresh but equal object at each child's stop, is judged by its
    // fields instead: the very name, reason and data last written (held, so no address is
    // reused) make the same text, and nothing is encoded or asked of Python for it.
    struct Written {
        PyObject* name;
        uint64_t print;
        uint32_t length;
        ResultFields result; // empty unless the value written was such a result
    };
    std::vector<std::vector<Written>> written_;
    std::vector<Pending> pending_, spare_;
    // The thread whose operation made the pending changes (null: one that has ended), so
    // another thread's operation ending meanwhile does not cut that one's record in two.
    const void* pending_owner_ = nullptr;
    bool stop_seen_ = false;
    bool task_stop_seen_ = false;
    // A record is being built. Python code it runs (a value's repr) may change the tree;
    // those changes wait in pending_ for the next record instead of re-entering this one.
    bool building_ = false;
    std::string line_;
    uint32_t chain_ = 0; // checksum of the last line
    uint64_t serial_ = 0;
    size_t flagged_ = 0;

    // Batch mode: records wait in `batch_` until the flusher (or a Task's stop) writes them.
    std::mutex batch_mutex_, write_mutex_;
    std::condition_variable wake_;
    std::string batch_;
    std::thread flusher_;
    bool closing_ = false;
    std::atomic<int> write_errno_{0};
    bool closed_ = false;
};

} // namespace korvo::campaign::journal
