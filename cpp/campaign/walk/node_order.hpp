// Class lists (_ARG_ORDER) seen lately, shared by the serialisers. A list whose names are
// distinct exact texts is "plain": its names are kept interned, so node dicts are probed by
// identity and the computed paths are recognised.
#pragma once

#include <Python.h>

#include <memory>

#include "common/py_support.hpp"

namespace korvo::campaign {

struct OrderInfo {
    PyObject* list = nullptr;     // owned; the class list as seen
    PyObject* original = nullptr; // owned tuple; its items when seen
    PyObject* names = nullptr;    // owned tuple of interned names; null when not plain
    OrderInfo() = default;
    OrderInfo(const OrderInfo&) = delete;
    OrderInfo& operator=(const OrderInfo&) = delete;
    ~OrderInfo() {
        Py_XDECREF(list);
        Py_XDECREF(original);
        Py_XDECREF(names);
    }
};
// Entries are shared so that one evicted during a nested write stays alive.
using OrderRef = std::shared_ptr<const OrderInfo>;

// The cached facts of a class list, refreshed when its items changed; null for anything
// but an exact list.
OrderRef order_info(PyObject* order);

} // namespace korvo::campaign
