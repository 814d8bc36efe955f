#include "campaign/journal/registry.hpp"

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
    if (journal_of(root).journal)
        raise(PyExc_ValueError, "this tree already has a journal attached");
    auto journal = std::make_unique<JournalWriter>(path, Durability(durability), root);
    JournalWriter* out = journal.get();
    registry.journals.push_back(std::move(journal));
    observe_if_needed();
    return out;
}

bool is_open(JournalWriter* journal) {
    for (auto& j : registry.journals)
        if (j.get() == journal) return true;
    return false;
}

void close_journal(JournalWriter* journal) {
    for (size_t i = 0; i < registry.journals.size(); ++i) {
        if (registry.journals[i].get() != journal) continue;
        std::unique_ptr<JournalWriter> owned = std::move(registry.journals[i]);
        registry.journals.erase(registry.journals.begin() + long(i));
        observe_if_needed();
        owned->close();
        return;
    }
}

void close_all_journals() {
    while (!registry.journals.empty()) {
        JournalWriter* last = registry.journals.back().get();
        try {
            close_journal(last);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("closing a journal at exit");
        }
    }
}

} // namespace korvo::campaign::journal
