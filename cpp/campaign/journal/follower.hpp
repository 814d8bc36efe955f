// Following a journal while its job still writes it: each poll reads only what was appended
// since the last one and applies it to the tree made so far, so the cost is that of the new
// bytes. The file is opened as journal_lines does for a followed file (regular, non-blocking,
// no link) and stays open, so a replaced or renamed journal is not read from the start again.
#pragma once

#include <cstdint>

#include "campaign/journal/journal_lines.hpp"
#include "campaign/journal/tree_replay.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::journal {

class JournalFollower {
  public:
    // OSError when `path` cannot be opened (or is a link), ValueError when it is not a regular
    // file or its header is not a journal's.
    explicit JournalFollower(PyObject* path);

    // Reads and applies the complete records appended since the last poll: a list of
    // (event, node) with event "added", "started", "stopped" or "end" (node None), in order.
    // A torn last line is left for the next poll. A file that shrank is damage; after damage,
    // nothing more is read.
    nb::object poll();

    nb::object root() const;
    size_t nodes() const { return replay_.nodes().size(); }
    nb::object open_nodes() const { return replay_.open_nodes(); }
    nb::object unknown() const { return replay_.unknown(); }
    // None, or (line number, byte offset, what is wrong).
    nb::object damage() const { return damage_; }
    bool closed() const { return replay_.closed(); }
    // The bytes of the file read so far (a complete record or not).
    uint64_t bytes_read() const { return lines_.bytes_read(); }
    // The size the file has now, less the zeros at its end when the last poll found them
    // (a writer that maps the file grows it ahead of its records).
    uint64_t file_size() const;
    // ValueError when the shared values of the tree so far would be written out as more than
    // the journal's expansion cap allows; the tree is walked once, so call it before writing.
    void check_expansion() const { replay_.check_expansion(lines_.bytes_read()); }

  private:
    nb::object path_;
    JournalLines lines_;
    TreeReplay replay_;
    nb::object damage_;
};

} // namespace korvo::campaign::journal
