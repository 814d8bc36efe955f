#include "campaign/journal/expansion.hpp"

#include "campaign/journal/pointer_map.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::journal {

namespace {

constexpr uint64_t kInProgress = ~uint64_t(0);

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a + b < a ? ~uint64_t(0) - 1 : a + b;
}

// A value's own size: a text or bytes by its length, anything else as one item.
uint64_t own_size(PyObject* v) {
    if (PyUnicode_Check(v)) return 1 + uint64_t(PyUnicode_GET_LENGTH(v));
    if (PyBytes_Check(v)) return 1 + uint64_t(PyBytes_GET_SIZE(v));
    return 1;
}

bool is_container(PyObject* v) {
    return PyList_Check(v) || PyDict_Check(v) || PyTuple_Check(v);
}

class Expansion {
  public:
    explicit Expansion(uint64_t limit) : limit_(limit) {}

    void add_node(PyObject* node) {
        PyObject** slot = instance_dict_slot(node);
        if (!slot || !*slot) return;
        nb::object attrs = nb::borrow(*slot);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(attrs.ptr(), &pos, &k, &v)) {
            nb::object value = nb::borrow(v);
            total_ = saturating_add(total_, own_size(k) + size_of(value.ptr()));
            if (total_ > limit_) raise_too_large();
        }
    }

  private:
    struct Frame {
        nb::object container;
        Py_ssize_t pos;
        uint64_t size;
    };

    // The written size of `v`, containers walked with an explicit stack and remembered.
    uint64_t size_of(PyObject* v) {
        if (!is_container(v)) return own_size(v);
        if (uint64_t* known = sizes_.find(v)) return *known == kInProgress ? 1 : *known;
        std::vector<Frame> stack;
        enter(stack, v);
        uint64_t result = 0;
        while (!stack.empty()) {
            poll_.step();
            Frame& top = stack.back();
            PyObject* item = nullptr;
            uint64_t extra = 0;
            if (!next_item(top, item, extra)) {
                uint64_t size = top.size;
                sizes_.put(top.container.ptr(), size);
                stack.pop_back();
                if (stack.empty())
                    result = size;
                else
                    stack.back().size = saturating_add(stack.back().size, size);
                continue;
            }
            top.size = saturating_add(top.size, extra);
            if (top.size > limit_) raise_too_large();
            if (!is_container(item)) {
                top.size = saturating_add(top.size, own_size(item));
            } else if (uint64_t* known = sizes_.find(item)) {
                top.size = saturating_add(top.size, *known == kInProgress ? 1 : *known);
            } else {
                enter(stack, item);
            }
        }
        return result;
    }

    void enter(std::vector<Frame>& stack, PyObject* container) {
        sizes_.put(container, kInProgress);
        held_.push_back(nb::borrow(container));
        stack.push_back(Frame{nb::borrow(container), 0, 1});
    }

    // The next item of the frame's container (a dict's key is counted into `extra`); the
    // item is held by the container, which the frame holds and nothing here changes.
    static bool next_item(Frame& f, PyObject*& item, uint64_t& extra) {
        PyObject* c = f.container.ptr();
        if (PyDict_Check(c)) {
            PyObject* key;
            if (!PyDict_Next(c, &f.pos, &key, &item)) return false;
            extra = own_size(key);
            return true;
        }
        Py_ssize_t n = PyList_Check(c) ? PyList_GET_SIZE(c) : PyTuple_GET_SIZE(c);
        if (f.pos >= n) return false;
        item = PyList_Check(c) ? PyList_GET_ITEM(c, f.pos) : PyTuple_GET_ITEM(c, f.pos);
        ++f.pos;
        return true;
    }

    [[noreturn]] void raise_too_large() {
        PyErr_Format(PyExc_ValueError,
                     "lists and dicts shared in the journal would be written out as more than "
                     "%llu times its size (or %llu MiB); refused",
                     (unsigned long long)kMaxExpansion,
                     (unsigned long long)(kMinExpansionBytes >> 20));
        throw nb::python_error();
    }

    uint64_t limit_;
    uint64_t total_ = 0;
    PointerMap<uint64_t> sizes_;
    std::vector<nb::object> held_; // keeps every remembered address its own
    SignalPoll poll_;
};

} // namespace

void check_expansion(const std::vector<nb::object>& nodes, uint64_t file_bytes) {
    uint64_t limit =
        file_bytes > (~uint64_t(0) / kMaxExpansion) ? ~uint64_t(0) - 1 : file_bytes * kMaxExpansion;
    if (limit < kMinExpansionBytes) limit = kMinExpansionBytes;
    Expansion expansion(limit);
    for (const nb::object& node : nodes)
        expansion.add_node(node.ptr());
}

} // namespace korvo::campaign::journal
