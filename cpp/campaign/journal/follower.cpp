#include "campaign/journal/follower.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <new>

#include "campaign/journal/replay.hpp"

namespace korvo::campaign::journal {

JournalFollower::JournalFollower(PyObject* path)
    : path_(nb::borrow(path)), lines_(path, true), replay_(true), damage_(nb::none()) {}

nb::object JournalFollower::root() const {
    return replay_.nodes().empty() ? nb::none() : replay_.nodes()[0];
}

uint64_t JournalFollower::file_size() const {
    struct stat info;
    if (::fstat(lines_.fd(), &info) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.ptr());
        throw nb::python_error();
    }
    // Zeros its writer grew the file by are not yet written: not growth to follow.
    return std::min(uint64_t(info.st_size), lines_.unwritten_from());
}

namespace {

const char* event_name(TreeReplay::Event what) {
    switch (what) {
    case TreeReplay::Event::added:
        return "added";
    case TreeReplay::Event::started:
        return "started";
    case TreeReplay::Event::stopped:
        return "stopped";
    case TreeReplay::Event::end:
        return "end";
    }
    return "?";
}

} // namespace

nb::object JournalFollower::poll() {
    nb::object events = check(PyList_New(0));
    if (!damage_.is_none()) return events;
    // A journal is only appended to: one that shrank was cut or replaced under its reader.
    if (file_size() < lines_.bytes_read()) {
        damage_ = damage_at(lines_.line_number() + 1, lines_.bytes_read(),
                            "the journal was cut short while it was followed");
        return events;
    }
    try {
        std::string_view line;
        while (damage_.is_none() && lines_.next(line)) {
            damage_ = apply_record(replay_, lines_, line);
            for (auto [what, n] : replay_.take_events()) {
                PyObject* node =
                    what == TreeReplay::Event::end ? Py_None : replay_.nodes()[n].ptr();
                nb::object item = check(Py_BuildValue("(sO)", event_name(what), node));
                check_status(PyList_Append(events.ptr(), item.ptr()));
            }
        }
        if (lines_.damage())
            damage_ = damage_at(lines_.line_number(), lines_.line_offset(), lines_.damage());
        return events;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_MemoryError)) throw;
        e.restore();
    }
    raise_out_of_memory(lines_, path_.ptr());
}

} // namespace korvo::campaign::journal
