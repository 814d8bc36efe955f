// The replay of a whole journal file. Reading the file is journal_lines' job, the records'
// operations tree_replay's.
#include "campaign/journal/replay.hpp"

#include <new>

#include "campaign/journal/journal_lines.hpp"
#include "campaign/journal/tree_replay.hpp"
#include "common/gc_pause.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign::journal {

nb::object damage_at(size_t line_number, uint64_t offset, const char* what) {
    return check(Py_BuildValue("(nKs)", Py_ssize_t(line_number), (unsigned long long)offset, what));
}

nb::object apply_record(TreeReplay& replay, const JournalLines& lines, std::string_view line) {
    try {
        replay.apply(line);
        return nb::none();
    } catch (Malformed& e) {
        return damage_at(lines.line_number(), lines.line_offset(), e.what());
    } catch (nb::python_error& e) {
        // A signal handler's exception, or a failure of the interpreter itself (Ctrl-C,
        // no memory), ends the replay; any other failure means the record is wrong.
        if (replay.interrupted() || !e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError))
            throw;
        nb::object text = check(PyObject_Str(exception_object(e).ptr()));
        const char* s = PyUnicode_AsUTF8(text.ptr());
        if (!s) PyErr_Clear();
        return damage_at(lines.line_number(), lines.line_offset(),
                         s ? s : "record cannot be applied");
    }
}

void raise_out_of_memory(const JournalLines& lines, PyObject* path) {
    // What was made so far is gone: say so, with the place, as unusable input.
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "the journal does not fit in memory (from line %zu on): %R",
                 lines.line_number(), path);
    throw nb::python_error();
}

namespace {

nb::object replay_lines(JournalLines& lines) {
    // Replay makes the whole tree at once; nothing it makes is garbage before it ends.
    GcPause pause;
    TreeReplay replay;
    nb::object damage = nb::none();
    std::string_view line;
    while (damage.is_none() && lines.next(line))
        damage = apply_record(replay, lines, line);
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
    raise_out_of_memory(lines, path);
}

} // namespace korvo::campaign::journal
