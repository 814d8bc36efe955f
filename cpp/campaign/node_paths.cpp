#include "campaign/node_paths.hpp"

#include <cstring>

#include "campaign/module_state.hpp"
#include "campaign/names.hpp"

namespace korvo::campaign {

namespace {

constexpr int kMaxChain = 64;

PyObject* own_dict(PyObject* node) {
    PyObject** dict_ptr = _PyObject_GetDictPtr(node);
    return dict_ptr ? *dict_ptr : nullptr;
}

// Borrowed ids from `node` up to the first node below the top, innermost first. Returns
// the count, or 0 when the chain leaves the cases the quick forms cover. Nothing here runs
// Python code, so the borrowed pointers stay valid until the caller returns.
int id_chain(PyObject* node, PyObject** ids, bool need_text) {
    nb::object campaign_cls = module_global(names.Campaign);
    if (campaign_cls.ptr() != reinterpret_cast<PyObject*>(state.campaign_type)) return 0;
    int n = 0;
    while (true) {
        if (exact_kind(node) == NodeKind::Other || n == kMaxChain) return 0;
        PyObject* dict = own_dict(node);
        if (!dict) return 0;
        PyObject* id = PyDict_GetItem(dict, names.id);
        if (!id || (need_text && !PyUnicode_CheckExact(id))) return 0;
        ids[n++] = id;
        PyObject* parent = PyDict_GetItem(dict, names._parent);
        if (!parent || parent == Py_None || PyObject_TypeCheck(parent, state.campaign_type))
            return n;
        node = parent;
    }
}

} // namespace

nb::object quick_fullid(PyObject* node) {
    PyObject* ids[kMaxChain];
    int n = id_chain(node, ids, true);
    if (n == 0) return nb::object();
    if (n == 1) return nb::borrow(ids[0]);
    Py_ssize_t size = n - 1;
    Py_UCS4 maxchar = '.';
    for (int i = 0; i < n; ++i) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(ids[i]) < 0) throw nb::python_error();
#endif
        size += PyUnicode_GET_LENGTH(ids[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(ids[i]);
        if (m > maxchar) maxchar = m;
    }
    nb::object out = check(PyUnicode_New(size, maxchar));
    Py_ssize_t at = 0;
    for (int i = n - 1; i >= 0; --i) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(ids[i]);
        if (maxchar < 128) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(out.ptr())) + at, PyUnicode_DATA(ids[i]),
                        size_t(len));
        } else if (PyUnicode_CopyCharacters(out.ptr(), at, ids[i], 0, len) < 0) {
            throw nb::python_error();
        }
        at += len;
        if (i) PyUnicode_WRITE(PyUnicode_KIND(out.ptr()), PyUnicode_DATA(out.ptr()), at++, '.');
    }
    return out;
}

nb::object quick_idlist(PyObject* node) {
    PyObject* ids[kMaxChain];
    int n = id_chain(node, ids, false);
    if (n == 0) return nb::object();
    PyObject* out = PyTuple_New(n);
    if (!out) throw nb::python_error();
    for (int i = 0; i < n; ++i) {
        Py_INCREF(ids[n - 1 - i]);
        PyTuple_SET_ITEM(out, i, ids[n - 1 - i]);
    }
    return nb::steal(out);
}

} // namespace korvo::campaign
