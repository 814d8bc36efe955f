// Python names of the export: the Scribe class and the legacy library and XML
// libraries it uses, bound as module attributes that callers may substitute.
#include "scribe/bindings/bindings.hpp"
#include "scribe/mapping/handlers.hpp"
#include "scribe/export/driver.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/pretty.hpp"

namespace korvo::scribe {

namespace {

// Instance state lives in the instance __dict__.
struct Scribe {};

void import_as(nb::module_& m, const char* module, const char* name, const char* alias) {
    nb::module_ source = nb::module_::import_(module);
    m.attr(alias) = name ? source.attr(name) : nb::object(source);
}

template <nb::object (*Fn)(PyObject*, PyObject*, PyObject*)>
nb::object handler(nb::handle self, nb::handle ky, nb::handle node) {
    return Fn(self.ptr(), ky.ptr(), node.ptr());
}

} // namespace

void bind_scribe(nb::module_& m) {
    init_scribe_state(m.ptr());
    import_as(m, "korvo.kyreport.toplevel.kyreport_top", "KYReport", "KYReport");
    import_as(m, "korvo.kyreport.campaign", "Campaign", "Campaign");
    import_as(m, "korvo.kyreport.testscript", "TestScript", "TestScript");
    import_as(m, "xml.etree.ElementTree", nullptr, "ET");
    import_as(m, "xml.dom.minidom", nullptr, "minidom");

    auto cls = nb::class_<Scribe>(m, "Scribe", nb::dynamic_attr());
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<Scribe> self, nb::handle logsdir, nb::handle campaign) {
            new (self.p) Scribe();
            scribe_init(self.h.ptr(), logsdir.ptr(), campaign.ptr());
        },
        nb::arg("logsdir").none(), nb::arg("campaign").none());
    cls.def(
        "generate_xml", [](nb::handle self, nb::handle, nb::handle) { generate_xml(self.ptr()); },
        nb::arg("client").none(), nb::arg("kwargs").none());
    cls.def("_handle_campaign", &handler<handle_campaign>, nb::arg("kyts").none(),
            nb::arg("campaign").none());
    cls.def("_handle_jobexecution", &handler<handle_jobexecution>, nb::arg("kyjobexc").none(),
            nb::arg("campaign").none());
    cls.def("_handle_testscript", &handler<handle_testscript>, nb::arg("kyts").none(),
            nb::arg("task").none());
    cls.def("_handle_commonsection", &handler<handle_commonsection>, nb::arg("kycommsect").none(),
            nb::arg("commonsection").none());
    cls.def("_handle_testcase", &handler<handle_testcase>, nb::arg("kytc").none(),
            nb::arg("testcase").none());
    cls.def("_handle_subsection", &handler<handle_subsection>, nb::arg("kysubsect").none(),
            nb::arg("subsection").none());
    cls.def("_handle_testsection", &handler<handle_testsection>, nb::arg("kytest").none(),
            nb::arg("testsection").none());
    cls.def("_handle_step", &handler<handle_step>, nb::arg("kystep").none(),
            nb::arg("step").none());
    sstate.scribe_type = (PyTypeObject*)cls.ptr();
    remember_native_handlers();
}

} // namespace korvo::scribe
