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
    PointerMap<JournalSlot> nodes;
    std::vector<std::unique_ptr<JournalWriter>> journals;

    void changed(PyObject* node, PyObject* attr) override {
        if (JournalSlot* found = nodes.find(node)) found->journal->changed(found->number, attr);
    }
    void added(PyObject* parent, PyObject* list_name, PyObject* child) override {
        if (JournalSlot* found = nodes.find(parent))
            found->journal->added(found->number, list_name, child);
    }
    void stopped(PyObject* node) override {
        if (JournalSlot* found = nodes.find(node)) found->journal->stopped(found->number, node);
    }
    void operation_done(bool failing) override {
        for (size_t i = 0; i < journals.size(); ++i)
            journals[i]->operation_done(failing);
    }
};

JournalRegistry registry;

void observe_if_needed() {
    tree_observer = registry.journals.empty() ? nullptr : &registry;
}

} // namespace

JournalSlot journal_of(PyObject* node) {
    JournalSlot* found = registry.nodes.find(node);
    return found ? *found : JournalSlot{nullptr, 0};
}

void watch_node(PyObject* node, JournalWriter* journal, uint32_t number) {
    registry.nodes.put(node, JournalSlot{journal, number});
}

void unwatch_node(PyObject* node) {
    registry.nodes.erase(node);
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
