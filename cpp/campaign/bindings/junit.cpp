// Python names of the JUnit writer: private functions behind korvo.reporter.junit.
#include "campaign/bindings/bindings.hpp"
#include "campaign/junit/writer.hpp"
#include "common/py_support.hpp"
#include "files/safe_file.hpp"

namespace korvo::campaign {

namespace {

nb::object junit_text(nb::handle campaign, nb::handle logs_dir) {
    junit::JunitDocument doc = junit::junit_document(campaign.ptr(), logs_dir.ptr());
    return check(PyUnicode_DecodeUTF8(doc.text.data(), Py_ssize_t(doc.text.size()), "strict"));
}

// Writes the document and returns its totals (tests, failures, errors, skipped).
nb::object write_junit(nb::handle campaign, nb::handle path, nb::handle logs_dir) {
    junit::JunitDocument doc = junit::junit_document(campaign.ptr(), logs_dir.ptr());
    files::write_file(path, doc.text.data(), doc.text.size());
    const junit::JunitTotals& t = doc.totals;
    return check(Py_BuildValue("(LLLL)", t.tests, t.failures, t.errors, t.skipped));
}

} // namespace

void bind_junit(nb::module_& m) {
    m.def("_junit_text", &junit_text, nb::arg("campaign").none(),
          nb::arg("logs_dir").none() = nb::none());
    m.def("_write_junit", &write_junit, nb::arg("campaign").none(), nb::arg("path"),
          nb::arg("logs_dir").none() = nb::none());
}

} // namespace korvo::campaign
