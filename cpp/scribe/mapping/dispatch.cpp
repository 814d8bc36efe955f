#include "common/signal_poll.hpp"
#include "scribe/mapping/handlers.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

namespace {

using HandlerFn = nb::object (*)(PyObject*, PyObject*, PyObject*);

struct HandlerEntry {
    PyObject* ScribeNames::* name;
    HandlerFn fn;
};

const HandlerEntry& entry(Handler which) {
    static const HandlerEntry table[] = {
        {&ScribeNames::_handle_campaign, handle_campaign},
        {&ScribeNames::_handle_jobexecution, handle_jobexecution},
        {&ScribeNames::_handle_testscript, handle_testscript},
        {&ScribeNames::_handle_commonsection, handle_commonsection},
        {&ScribeNames::_handle_testcase, handle_testcase},
        {&ScribeNames::_handle_subsection, handle_subsection},
        {&ScribeNames::_handle_testsection, handle_testsection},
        {&ScribeNames::_handle_step, handle_step},
    };
    return table[(int)which];
}

constexpr int kHandlers = (int)Handler::Step + 1;

// What Scribe resolved each handler to at load, held strongly so a replaced one can
// never be mistaken for a new object at the same address.
PyObject* native_handlers[kHandlers] = {};

} // namespace

void remember_native_handlers() {
    for (int i = 0; i < kHandlers; ++i) {
        PyObject* found = type_lookup(sstate.scribe_type, scribe_interned.*entry((Handler)i).name);
        Py_XINCREF(found);
        native_handlers[i] = found;
    }
}

nb::object run_handler(PyObject* self, Handler which, PyObject* ky, PyObject* node) {
    // One node's mapping costs microseconds: Ctrl-C is seen within a few thousand.
    static thread_local SignalPoll signals;
    signals.step();
    const HandlerEntry& e = entry(which);
    if (Py_TYPE(self) == sstate.scribe_type &&
        type_lookup(sstate.scribe_type, scribe_interned.*e.name) == native_handlers[(int)which] &&
        !instance_shadows(self, scribe_interned.*e.name))
        return e.fn(self, ky, node);
    return call_method(self, scribe_interned.*e.name, {ky, node});
}

} // namespace korvo::scribe
