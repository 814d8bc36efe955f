// The export driver: maps the report tree onto a fresh legacy campaign and writes
// ResultsDetails.xml and ResultsSummary.xml into the log directory.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::scribe {

// Scribe(logsdir, campaign): kyreport, logsdir, _campaign, in that order.
void scribe_init(PyObject* self, PyObject* logsdir, PyObject* campaign);

void generate_xml(PyObject* self);

} // namespace korvo::scribe
