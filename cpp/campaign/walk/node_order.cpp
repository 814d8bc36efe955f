#include "campaign/walk/node_order.hpp"

namespace korvo::campaign {

namespace {

constexpr int kOrderCache = 8;
// Never destroyed: entries hold Python references that must not be released at exit.
OrderRef* order_cache = new OrderRef[kOrderCache];
int order_next = 0;

bool same_items(PyObject* list, PyObject* snapshot) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (PyTuple_GET_SIZE(snapshot) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(snapshot, i)) return false;
    return true;
}

// The interned names when all are distinct exact texts, else a null object.
nb::object interned_names(PyObject* items) {
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    nb::object out = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(items, i);
        if (!PyUnicode_CheckExact(name)) return nb::object();
        Py_INCREF(name);
        PyUnicode_InternInPlace(&name);
        for (Py_ssize_t j = 0; j < i; ++j) {
            if (PyTuple_GET_ITEM(out.ptr(), j) == name) {
                Py_DECREF(name);
                return nb::object();
            }
        }
        PyTuple_SET_ITEM(out.ptr(), i, name);
    }
    return out;
}

} // namespace

OrderRef order_info(PyObject* order) {
    if (!PyList_CheckExact(order)) return nullptr;
    for (int i = 0; i < kOrderCache; ++i) {
        const OrderRef& e = order_cache[i];
        if (e && e->list == order && same_items(order, e->original)) return e;
    }
    auto info = std::make_shared<OrderInfo>();
    info->original = check(PyList_AsTuple(order)).release().ptr();
    Py_INCREF(order);
    info->list = order;
    if (nb::object plain_names = interned_names(info->original))
        info->names = plain_names.release().ptr();
    order_cache[order_next] = info;
    order_next = (order_next + 1) % kOrderCache;
    return info;
}

} // namespace korvo::campaign
