// Python names of the journal: opening and closing one, replaying a journal file, following
// one a job still writes and stopping what it left open.
#include "campaign/bindings/bindings.hpp"
#include "campaign/journal/follower.hpp"
#include "campaign/journal/journal_writer.hpp"
#include "campaign/journal/recovery_abort.hpp"
#include "campaign/journal/registry.hpp"
#include "campaign/journal/replay.hpp"
#include "campaign/model/module_state.hpp"

namespace korvo::campaign {

void bind_journal(nb::module_& m) {
    using namespace journal;
    m.def(
        "_journal_open",
        [](nb::handle root, nb::handle path, int durability) {
            if (!is_node(root.ptr()))
                raise(PyExc_TypeError, "a journal is attached to a report node");
            if (durability < 0 || durability > 2) raise(PyExc_ValueError, "unknown durability");
            return (uintptr_t)open_journal(root.ptr(), path.ptr(), durability);
        },
        nb::arg("root"), nb::arg("path"), nb::arg("durability"));
    m.def(
        "_journal_close",
        [](uintptr_t handle) {
            auto* journal = (JournalWriter*)handle;
            if (is_open(journal)) close_journal(journal);
        },
        nb::arg("handle"));
    m.def(
        "_journal_flagged",
        [](uintptr_t handle) {
            auto* journal = (JournalWriter*)handle;
            return is_open(journal) ? journal->flagged() : size_t(0);
        },
        nb::arg("handle"));
    m.def("_journal_close_all", &close_all_journals);
    m.def(
        "_journal_replay", [](nb::handle path) { return replay_journal(path.ptr()); },
        nb::arg("path"));
    m.def(
        "_journal_abort",
        [](nb::handle open, nb::handle detail) {
            return abort_open_nodes(open.ptr(), detail.ptr());
        },
        nb::arg("open"), nb::arg("detail"));
    nb::class_<JournalFollower>(m, "_JournalFollower")
        .def(
            "__init__",
            [](JournalFollower* self, nb::handle path) { new (self) JournalFollower(path.ptr()); },
            nb::arg("path"))
        .def("poll", &JournalFollower::poll)
        .def("check_expansion", &JournalFollower::check_expansion)
        .def("file_size", &JournalFollower::file_size)
        .def_prop_ro("root", &JournalFollower::root)
        .def_prop_ro("nodes", &JournalFollower::nodes)
        .def_prop_ro("open", &JournalFollower::open_nodes)
        .def_prop_ro("unknown", &JournalFollower::unknown)
        .def_prop_ro("damage", &JournalFollower::damage)
        .def_prop_ro("closed", &JournalFollower::closed)
        .def_prop_ro("bytes_read", &JournalFollower::bytes_read);
}

} // namespace korvo::campaign
