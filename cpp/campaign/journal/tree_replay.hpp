// The tree operations of the journal's records: one record line at a time applied to the tree
// made so far. The whole-file replay and the follower of a growing journal both use it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "campaign/journal/json_cursor.hpp"
#include "campaign/journal/value_reader.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::journal {

class TreeReplay {
  public:
    // What a record did to a node, for a reader that shows a job's progress.
    enum class Event : char { added, started, stopped, end };

    // With `events`, each record's node changes are noted (see take_events()).
    explicit TreeReplay(bool events = false);

    // One record line, checksum already checked. Malformed or a Python error when it cannot
    // be applied; the operations before the failing one stay applied.
    void apply(std::string_view line);

    // The dict replay_journal() returns, with `damage`.
    nb::object result(nb::object damage) const;

    // The events noted since the last call, each with its node's index.
    std::vector<std::pair<Event, size_t>> take_events() { return std::move(events_); }
    const std::vector<nb::object>& nodes() const { return nodes_; }
    const nb::object& unknown() const { return unknown_; }
    // The nodes started and not stopped since, in the order they were made.
    nb::object open_nodes() const;
    bool closed() const { return closed_; }
    bool interrupted() const { return poll_.raised(); }
    void check_expansion(uint64_t file_bytes) const;

  private:
    using Kept = std::vector<std::pair<nb::object, nb::object>>;
    nb::object name();
    nb::object value_of(PyObject* attr, Kept& kept);
    void file_kept(PyObject* node, Kept& kept);
    size_t node_index();
    void operation();
    void add_node();
    void note(Event what, size_t node) {
        if (record_events_) events_.emplace_back(what, node);
    }

    JsonCursor in_;
    std::vector<nb::object> nodes_;
    ReplayPoll poll_;
    ValueReader values_;
    nb::object unknown_;
    std::vector<char> open_;
    std::unordered_map<std::string, nb::object> names_;
    bool closed_ = false;
    bool record_events_;
    std::vector<std::pair<Event, size_t>> events_;
};

} // namespace korvo::campaign::journal
