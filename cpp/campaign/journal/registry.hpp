// Which journal, if any, watches each node; the model's observer for all open journals.
#pragma once

#include <Python.h>

#include <cstdint>

namespace korvo::campaign::journal {

class JournalWriter;

struct JournalSlot {
    JournalWriter* journal;
    uint32_t number;
};

// The journal watching `node` and the node's number in it; {nullptr, 0} when none.
JournalSlot journal_of(PyObject* node);
void watch_node(PyObject* node, JournalWriter* journal, uint32_t number);
void unwatch_node(PyObject* node);

// Open journals, owned here until closed; the model is observed while any is open.
JournalWriter* open_journal(PyObject* root, PyObject* path, int durability);
void close_journal(JournalWriter* journal);
bool is_open(JournalWriter* journal);
void close_all_journals();
// In a forked child, before its parent's journals are let go: they must write nothing.
bool in_forked_child();

} // namespace korvo::campaign::journal
