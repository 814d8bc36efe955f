#include "campaign/walk/result_cache.hpp"

#include "campaign/model/interned.hpp"
#include "campaign/walk/node_access.hpp"

namespace korvo::campaign {

ResultCache::Entry& ResultCache::entry(PyObject* obj) {
    auto [it, added] = entries_.try_emplace(obj);
    if (added) it->second.held = nb::borrow(obj);
    return it->second;
}

bool ResultCache::ignored(PyObject* value) {
    // Held only by its node and the caller: a result of its own (a roll-up's fresh object),
    // met once in the dump, so remembering it would never pay.
    if (!remembers(value) || Py_REFCNT(value) <= kOwnedByOneNode) return is_ignored_value(value);
    Entry& e = entry(value);
    if (e.ignored < 0) e.ignored = is_ignored_value(value) ? 1 : 0;
    return e.ignored != 0;
}

void ResultCache::read_fields(PyObject* obj, Fields& out) {
    out.value = get_attr(obj, interned.value);
    nb::object reason = get_attr(obj, interned.reason);
    out.reason = truthy(reason.ptr()) ? reason : nb::object();
    nb::object data = get_attr(obj, interned.data);
    out.data = truthy(data.ptr()) ? data : nb::object();
}

ResultCache::Fields ResultCache::fields(PyObject* obj) {
    auto found = remembers(obj) ? entries_.find(obj) : entries_.end();
    if (found == entries_.end()) {
        // Not remembered by ignored(): read afresh.
        Fields f;
        read_fields(obj, f);
        return f;
    }
    Entry& e = found->second;
    if (!e.has_fields) {
        read_fields(obj, e.fields);
        e.has_fields = true;
    }
    return e.fields;
}

} // namespace korvo::campaign
