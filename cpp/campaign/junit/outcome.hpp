// What a result means to a CI server, and which steps explain a result that is not a pass.
#pragma once

#include <Python.h>

#include <vector>

#include "common/py_support.hpp"

namespace korvo::campaign::junit {

// Passed and Passx pass; Failed fails; Skipped is skipped; Errored, Aborted, Blocked and
// any result this writer does not know are errors, so nothing unknown reads as a pass.
enum class Outcome { Pass, Failure, Error, Skipped, NoResult };

struct Verdict {
    Outcome outcome = Outcome::NoResult;
    nb::object name; // the result's text form ("Failed"); null without a result
};

Verdict judge(PyObject* result);

// One section below a testcase that explains its outcome.
struct Culprit {
    nb::object path;        // ids from below the testcase down to the section, joined by "."
    nb::object result_name; // text form of its result
    nb::object description; // null when not set
    nb::object reason;      // the result's reason; null when not set
};

// The deepest sections below `node` whose outcome is `wanted` (Failure and Error count
// as one), in tree order: the steps where a failure started, not the sections it
// climbed through.
std::vector<Culprit> find_culprits(PyObject* node, Outcome wanted);

// The node's own description and its result's reason, for a node that is its own culprit.
Culprit culprit_of(PyObject* node, PyObject* path, const Verdict& verdict);

} // namespace korvo::campaign::junit
