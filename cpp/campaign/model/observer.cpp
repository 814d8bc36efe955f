#include "campaign/model/observer.hpp"

#include "campaign/model/module_state.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign {

TreeObserver* tree_observer = nullptr;
thread_local int ObservedOperation::depth_ = 0;

WatchSlot* watch_slot(PyObject* obj) {
    if (!is_node(obj) || !nb::inst_ready(obj)) return nullptr;
    return &nb::inst_ptr<ReportObjectBase>(obj)->watch;
}

int observed_setattro(PyObject* self, PyObject* name, PyObject* value) {
    int status = PyObject_GenericSetAttr(self, name, value);
    if (status < 0 || !tree_observer) return status;
    try {
        ObservedOperation operation;
        tree_observer->changed(self, name);
        operation.finish();
    } catch (nb::python_error& e) {
        e.restore();
        return -1;
    }
    return 0;
}

} // namespace korvo::campaign
