#include "campaign/journal/registry.hpp"

#include <pthread.h>

#include <memory>
#include <vector>

#include "campaign/journal/journal_writer.hpp"
#include "campaign/journal/pointer_map.hpp"
#include "campaign/model/observer.hpp"

namespace korvo::campaign::journal {

namespace {

class JournalRegistry final : public TreeObserver {
  public:
    std::vector<std::unique_ptr<JournalWriter>> journals;

    // A node's watcher is kept on the node itself; the table serves only nodes without a
    // constructed C++ part, and costs nothing while it is empty.
    JournalSlot find(PyObject* node) {
        if (WatchSlot* slot = watch_slot(node)) {
            if (slot->watcher)
                return JournalSlot{static_cast<JournalWriter*>(slot->watcher), slot->number};
        }
        if (JournalSlot* found = unready_.find(node)) return *found;
        return JournalSlot{nullptr, 0};
    }
    void put(PyObject* node, JournalSlot entry) {
        if (WatchSlot* slot = watch_slot(node)) {
            slot->watcher = entry.journal;
            slot->number = entry.number;
        } else {
            unready_.put(node, entry);
        }
    }
    void erase(PyObject* node) {
        if (WatchSlot* slot = watch_slot(node)) *slot = WatchSlot{};
        unready_.erase(node);
    }

    void changed(PyObject* node, PyObject* attr) override {
        JournalSlot found = find(node);
        if (found.journal) found.journal->changed(found.number, attr);
    }
    void added(PyObject* parent, PyObject* list_name, PyObject* child) override {
        JournalSlot found = find(parent);
        if (found.journal) found.journal->added(found.number, list_name, child);
    }
    void stopped(PyObject* node) override {
        JournalSlot found = find(node);
        if (found.journal) found.journal->stopped(found.number, node);
    }
    void operation_done(bool failing) override {
        for (size_t i = 0; i < journals.size(); ++i)
            journals[i]->operation_done(failing);
    }

  private:
    PointerMap<JournalSlot> unready_;
};

JournalRegistry registry;

void observe_if_needed() {
    tree_observer = registry.journals.empty() ? nullptr : &registry;
}

// A journal belongs to the process that opened it. In a forked child nothing may be written
// to the parent's files (an end record at exit, say), and the batch flusher does not exist
// there. The fork handler may not call Python: it only stops the model reporting, and the
// journals are let go the next time the registry is used.
bool forked_child = false;

void after_fork_in_child() {
    forked_child = true;
    tree_observer = nullptr;
}

void settle_fork() {
    if (!forked_child) return;
    forked_child = false;
    for (auto& journal : registry.journals) {
        journal->forsake();
        (void)journal.release(); // its locks and thread object belong to the parent
    }
    registry.journals.clear();
    observe_if_needed();
}

void erase_journal(size_t i) {
    registry.journals.erase(registry.journals.begin() + long(i));
    observe_if_needed();
}

} // namespace

JournalSlot journal_of(PyObject* node) {
    return registry.find(node);
}

void watch_node(PyObject* node, JournalWriter* journal, uint32_t number) {
    registry.put(node, JournalSlot{journal, number});
}

void unwatch_node(PyObject* node) {
    registry.erase(node);
}

JournalWriter* open_journal(PyObject* root, PyObject* path, int durability) {
    settle_fork();
    static const bool fork_handled = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    (void)fork_handled;
    if (journal_of(root).journal)
        raise(PyExc_ValueError, "this tree already has a journal attached");
    auto journal = std::make_unique<JournalWriter>(path, Durability(durability));
    JournalWriter* out = journal.get();
    registry.journals.push_back(std::move(journal));
    observe_if_needed();
    try {
        out->begin(root);
    } catch (...) {
        for (size_t i = 0; i < registry.journals.size(); ++i)
            if (registry.journals[i].get() == out) erase_journal(i);
        throw;
    }
    return out;
}

bool in_forked_child() {
    return forked_child;
}

bool is_open(JournalWriter* journal) {
    settle_fork();
    for (auto& j : registry.journals)
        if (j.get() == journal) return true;
    return false;
}

void close_journal(JournalWriter* journal) {
    settle_fork();
    for (size_t i = 0; i < registry.journals.size(); ++i) {
        if (registry.journals[i].get() != journal) continue;
        if (journal->busy())
            raise(PyExc_RuntimeError, "a journal cannot be closed while it writes a record");
        std::unique_ptr<JournalWriter> owned = std::move(registry.journals[i]);
        erase_journal(i);
        owned->close();
        return;
    }
}

void close_all_journals() {
    settle_fork();
    while (!registry.journals.empty()) {
        std::unique_ptr<JournalWriter> last = std::move(registry.journals.back());
        erase_journal(registry.journals.size() - 1);
        if (last->busy()) {
            (void)last.release(); // the record it builds still uses it
            continue;
        }
        try {
            last->close();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("closing a journal at exit");
        }
    }
}

} // namespace korvo::campaign::journal
