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

namespace korvo::campaign::journal {

enum class Durability { Flush, Fsync, Batch };

class JournalWriter {
  public:
    // Opens `path` for appending (created if missing) and records the tree below `root`
    // as it stands. `assign` is called for every node the journal takes on.
    JournalWriter(PyObject* path, Durability durability, PyObject* root);
    ~JournalWriter();

    // The journal's number of `node` (registered through `on_register`), or -1.
    long long node_number(PyObject* node) const;
    const std::vector<PyObject*>& nodes() const { return nodes_; }

    void changed(uint32_t node, PyObject* attr);
    void added(uint32_t parent, PyObject* list_name, PyObject* child);
    void stopped(uint32_t node, PyObject* obj);
    // Writes what the finished operation changed; with `failing` it never raises (a write
    // error is kept and raised by the next operation or by close).
    void operation_done(bool failing);
    // Writes the end record, flushes and closes the file; the tree is left as it is.
    void close();

    // Values written as repr text so far.
    size_t flagged() const { return flagged_; }

  private:
    struct Pending {
        char kind; // '+' added, '=' changed, 'F' whole state, 's' stopped
        uint32_t node;
        nb::object name; // attribute or list name
    };

    uint32_t take_on(PyObject* node);
    void snapshot(PyObject* root);
    void build_record();
    void write_add(const Pending& p, long long parent);
    void write_state(uint32_t node);
    // `start`: where the line begins in line_.
    // `plain`: the value holds no numbered object and nothing kept as text.
    bool unchanged(uint32_t node, PyObject* name, size_t value_at, bool plain);
    void forget_written(uint32_t node, PyObject* name);
    void seal_line(char closing = ']', size_t start = 0);
    void clear_pending();
    void hand_over(bool stop_seen, bool task_stop_seen);
    void write_all(const char* data, size_t n);
    void raise_kept_error();
    void flusher_loop();
    void flush_batch();

    int fd_ = -1;
    nb::object path_;
    Durability durability_;
    std::vector<PyObject*> nodes_; // strong references, index = node number
    std::unordered_map<PyObject*, uint32_t> numbers_;
    NumberedObjects objects_;
    std::unordered_map<PyObject*, std::string> named_results_;
    nb::object named_results_holder_;
    nb::object types_[3]; // TestResult, ResultCounter, AttrDict
    ValueContext context_{};

    // The fingerprint of the last text written for an attribute, per node (see unchanged()).
    // Names are compared by address: the model's are interned, and a stray equal name only
    // costs a value written again.
    struct Written {
        PyObject* name;
        uint64_t print;
        uint32_t length;
    };
    std::vector<std::vector<Written>> written_;
    std::vector<Pending> pending_;
    std::vector<uint32_t> parents_; // of each '+' in pending_, in order
    bool stop_seen_ = false;
    bool task_stop_seen_ = false;
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
