// Python names of the JUnit writer: private functions behind korvo.reporter.junit.
#include "campaign/bindings/bindings.hpp"
#include "campaign/junit/writer.hpp"
#include "common/py_support.hpp"

namespace korvo::campaign {

void bind_junit(nb::module_& m) {
    m.def(
        "_junit_text",
        [](nb::handle campaign, nb::handle logs_dir) {
            junit::JunitDocument doc = junit::junit_document(campaign.ptr(), logs_dir.ptr());
            return check(
                PyUnicode_DecodeUTF8(doc.text.data(), Py_ssize_t(doc.text.size()), "strict"));
        },
        nb::arg("campaign").none(), nb::arg("logs_dir").none() = nb::none());
}

} // namespace korvo::campaign
