// Rebuilding a report tree from a journal file (the native part of recovery).
#pragma once

#include <Python.h>

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

} // namespace korvo::campaign::journal
