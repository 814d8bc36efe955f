#include "campaign/model/observer.hpp"

#include "common/py_support.hpp"

namespace korvo::campaign {

TreeObserver* tree_observer = nullptr;
int ObservedOperation::depth_ = 0;

namespace {

setattrofunc plain_setattro = nullptr;

int observed_setattro(PyObject* self, PyObject* name, PyObject* value) {
    int status = plain_setattro(self, name, value);
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

} // namespace

void observe_attribute_sets(PyTypeObject* type) {
    if (type->tp_setattro == observed_setattro) return;
    if (!plain_setattro)
        plain_setattro = type->tp_setattro ? type->tp_setattro : PyObject_GenericSetAttr;
    type->tp_setattro = observed_setattro;
}

} // namespace korvo::campaign
