// Rebuilding a report tree from a journal file (the native part of recovery).
#pragma once

#include <Python.h>

#include <string_view>

#include "campaign/journal/journal_lines.hpp"
#include "campaign/journal/tree_replay.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::journal {

// Reads the journal at `path` and replays its records up to the end, a torn last line
// (ignored) or the first damaged line. Returns a dict:
//   root     the rebuilt root node (None when no record got that far)
//   nodes    the number of nodes rebuilt
//   open     nodes started and not stopped since, in the order they were made
//   unknown  (node, attribute, text) for each value the journal kept only as its text
//   damage   None, or (line number, byte offset, what is wrong) of the first damaged line
//   closed   whether the journal's end record was reached
// A file that is not a journal, not a regular file, beyond the size caps of journal_lines or
// too large for the memory left raises ValueError; an unreadable one OSError; Ctrl-C
// KeyboardInterrupt.
nb::object replay_journal(PyObject* path);

// The damage tuple (line number, byte offset, what is wrong).
nb::object damage_at(size_t line_number, uint64_t offset, const char* what);
// Applies the record `line` that `lines` just gave: None, or the damage when the record cannot
// be applied. Ctrl-C and the interpreter's own failures propagate.
nb::object apply_record(TreeReplay& replay, const JournalLines& lines, std::string_view line);
// After running out of memory while replaying `lines`: raises ValueError naming the line.
[[noreturn]] void raise_out_of_memory(const JournalLines& lines, PyObject* path);

} // namespace korvo::campaign::journal
