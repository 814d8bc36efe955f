// The mapping handlers of Scribe: each fills one legacy object from one report node
// and returns the legacy object.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

enum class Handler {
    Campaign,
    JobExecution,
    TestScript,
    CommonSection,
    TestCase,
    SubSection,
    TestSection,
    Step,
};

// self._handle_...(ky, node), looked up on self so that subclasses may override the
// step; exact Scribe instances whose class still holds the native handler go straight
// to it, so a handler replaced on the class (mock.patch.object, say) is still called.
nb::object run_handler(PyObject* self, Handler which, PyObject* ky, PyObject* node);

// Remembers the handlers the Scribe class holds at load; called once it exists.
void remember_native_handlers();

// Each child of `node` becomes a test step made by holder.add_teststep(id=, name=)
// and filled by the step handler.
void add_steps(PyObject* self, PyObject* holder, PyObject* node);

nb::object handle_campaign(PyObject* self, PyObject* kyts, PyObject* campaign);
nb::object handle_jobexecution(PyObject* self, PyObject* kyjobexc, PyObject* campaign);
nb::object handle_testscript(PyObject* self, PyObject* kyts, PyObject* task);
nb::object handle_commonsection(PyObject* self, PyObject* kycommsect, PyObject* commonsection);
nb::object handle_testcase(PyObject* self, PyObject* kytc, PyObject* testcase);
nb::object handle_subsection(PyObject* self, PyObject* kysubsect, PyObject* subsection);
nb::object handle_testsection(PyObject* self, PyObject* kytest, PyObject* testsection);
nb::object handle_step(PyObject* self, PyObject* kystep, PyObject* step);

} // namespace korvo::scribe
