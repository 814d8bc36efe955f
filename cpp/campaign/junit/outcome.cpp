#include "campaign/junit/outcome.hpp"

#include <cstring>

#include "campaign/model/interned.hpp"
#include "campaign/model/result_class.hpp"
#include "campaign/walk/node_access.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::junit {

namespace {

Outcome outcome_of_name(PyObject* name) {
    switch (result_class_of_name(name)) {
    case ResultClass::Pass:
        return Outcome::Pass;
    case ResultClass::Skip:
        return Outcome::Skipped;
    default:
        // CI servers tell an assertion that failed from a test that could not run.
        return result_named(name, "failed") ? Outcome::Failure : Outcome::Error;
    }
}

bool same_class(Outcome a, Outcome b) {
    auto bad = [](Outcome o) { return o == Outcome::Failure || o == Outcome::Error; };
    return a == b || (bad(a) && bad(b));
}

// A set value (truth sense), or null.
nb::object set_or_null(nb::object value) {
    if (value && value.ptr() != Py_None && truthy(value.ptr())) return value;
    return nb::object();
}

nb::object read(PyObject* node, PyObject* name) {
    return read_listed(node, name);
}

class CulpritSearch {
  public:
    CulpritSearch(Outcome wanted, std::vector<Culprit>& found) : wanted_(wanted), found_(found) {}

    // True when `node` or a section below it is a culprit.
    bool visit(PyObject* node, PyObject* prefix) {
        RecursionGuard guard(" while looking for failed steps");
        nb::object sections = read(node, interned.sections);
        bool below = false;
        if (sections && PyList_Check(sections.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sections.ptr()); ++i) {
                nb::object child = nb::borrow(PyList_GET_ITEM(sections.ptr(), i));
                nb::object path = child_path(prefix, child.ptr());
                if (visit_child(child.ptr(), path.ptr())) below = true;
            }
        }
        return below;
    }

  private:
    bool visit_child(PyObject* child, PyObject* path) {
        // A testcase may hold any number of steps: Ctrl-C is seen within a few thousand.
        signals_.step();
        bool below = visit(child, path);
        if (below) return true;
        nb::object result = read(child, interned.result);
        Verdict verdict = judge(result ? result.ptr() : Py_None);
        if (verdict.outcome == Outcome::Pass || verdict.outcome == Outcome::NoResult ||
            !same_class(verdict.outcome, wanted_))
            return false;
        found_.push_back(culprit_of(child, path, verdict));
        return true;
    }

    static nb::object child_path(PyObject* prefix, PyObject* child) {
        nb::object id = read(child, interned.id);
        nb::object text = check(PyObject_Str(id ? id.ptr() : Py_None));
        if (!prefix) return text;
        static PyObject* dot = intern(".");
        nb::object joined = check(PyUnicode_Concat(prefix, dot));
        return check(PyUnicode_Concat(joined.ptr(), text.ptr()));
    }

    Outcome wanted_;
    std::vector<Culprit>& found_;
    SignalPoll signals_;
};

} // namespace

Verdict judge(PyObject* result) {
    Verdict v;
    if (!result || result == Py_None) return v;
    v.name = check(PyObject_Str(result));
    v.outcome = outcome_of_name(v.name.ptr());
    return v;
}

Culprit culprit_of(PyObject* node, PyObject* path, const Verdict& verdict) {
    Culprit c;
    c.path = nb::borrow(path);
    c.result_name = verdict.name;
    c.description = set_or_null(read(node, interned.description));
    nb::object result = read(node, interned.result);
    if (result && result.ptr() != Py_None)
        c.reason = set_or_null(optional_attr(result.ptr(), interned.reason));
    return c;
}

std::vector<Culprit> find_culprits(PyObject* node, Outcome wanted) {
    std::vector<Culprit> found;
    CulpritSearch(wanted, found).visit(node, nullptr);
    return found;
}

} // namespace korvo::campaign::junit
