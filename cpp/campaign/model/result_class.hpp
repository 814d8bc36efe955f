// What a result means for a run: the one rule the summary, JUnit, the HTML report and the
// history share.
#pragma once

#include <Python.h>

namespace korvo::campaign {

// Passed and Passx pass; Skipped neither passes nor fails; every other result fails
// (Failed, Errored, Aborted, Blocked, and any result this package does not know, so
// nothing unknown reads as a pass).
enum class ResultClass { Pass, Skip, Fail };

// The class of a result by its text form, in any letter case.
ResultClass result_class_of_name(PyObject* text);

// Whether a result's text form is `lower_word` in any letter case.
bool result_named(PyObject* text, const char* lower_word);

// "pass", "skip" or "fail".
const char* result_class_word(ResultClass c);

} // namespace korvo::campaign
