// The JUnit XML document of a report tree, in the form CI servers read: <testsuites> for
// the campaign, a <testsuite> per task, a <testcase> per testcase section, and setups,
// cleanups and plugins that did not pass as testcases of their own.
#pragma once

#include <Python.h>

#include <string>

namespace korvo::campaign::junit {

// The UTF-8 document for the tree below `campaign`. `logs_dir` (a path, or None) is the
// directory whose log files fill <system-out>; None leaves the logs out.
std::string junit_document(PyObject* campaign, PyObject* logs_dir);

} // namespace korvo::campaign::junit
