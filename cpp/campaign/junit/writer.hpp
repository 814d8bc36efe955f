// The JUnit XML document of a report tree, in the form CI servers read: <testsuites> for
// the campaign, a <testsuite> per task, a <testcase> per testcase section, and setups,
// cleanups and plugins that did not pass as testcases of their own.
#pragma once

#include <Python.h>

#include <string>

namespace korvo::campaign::junit {

// The counts of the <testsuites> element.
struct JunitTotals {
    long long tests = 0, failures = 0, errors = 0, skipped = 0;
};

struct JunitDocument {
    std::string text; // UTF-8
    JunitTotals totals;
};

// The document for the tree below `campaign`. `logs_dir` (a path, a list or tuple of paths
// searched in order, or None) names the directories whose log files fill <system-out>;
// None leaves the logs out.
JunitDocument junit_document(PyObject* campaign, PyObject* logs_dir);

} // namespace korvo::campaign::junit
