// Decoding of journal values (the value forms of record_format.hpp): the reverse of
// value_writer. Nothing a file names is imported or looked up beyond korvo.results' named
// results and the exception classes of builtins; other values are kept as their text.
#pragma once

#include <string>
#include <vector>

#include "campaign/journal/json_cursor.hpp"
#include "common/py_support.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::journal {

// Ctrl-C while records are applied. It remembers that a failure came from a signal
// handler: that exception is the caller's whatever its type, never damage in the file.
class ReplayPoll {
  public:
    void step() {
        try {
            poll_.step();
        } catch (nb::python_error&) {
            raised_ = true;
            throw;
        }
    }
    bool raised() const { return raised_; }

  private:
    SignalPoll poll_;
    bool raised_ = false;
};

class ValueReader {
  public:
    // `nodes` are the journal's nodes so far, which {"$n":k} refers to.
    ValueReader(JsonCursor& in, const std::vector<nb::object>& nodes, ReplayPoll& poll);

    nb::object value();
    // The texts of the values read since the last call that were kept only as text.
    std::vector<nb::object> take_kept() { return std::move(kept_); }

  private:
    nb::object object();
    nb::object tagged(std::string_view tag);
    nb::object numbered(nb::object obj);
    nb::object object_at(long long n);
    nb::object items();
    void fill_list(PyObject* list);
    void fill_pairs(PyObject* target);
    void fill_dict(PyObject* target);
    void fill_counter(PyObject* counter);
    void refill(PyObject* target);
    nb::object named_result();
    nb::object bytes_value();
    nb::object date_value(bool with_time);
    nb::object exception_value();
    nb::object kept(nb::object text);

    JsonCursor& in_;
    const std::vector<nb::object>& nodes_;
    nb::object results_;
    nb::object builtins_;
    // Lists, dicts and AttrDicts in order of first appearance ({"$r":n}, {"$u":n,...}).
    std::vector<nb::object> objects_;
    std::vector<nb::object> kept_;
    ReplayPoll& poll_;
};

} // namespace korvo::campaign::journal
