// The native module korvo.reporter.scribe: the legacy two-file XML export.
#include "common/iso_datetime.hpp"
#include "scribe/bindings/bindings.hpp"
#include "scribe/xml/pretty.hpp"

namespace korvo::scribe {

namespace {

// Private entry point of the native pretty-printer, for tests and benchmarks.
void bind_pretty_xml(nb::module_& m) {
    m.def(
        "_pretty_xml", [](nb::handle element) { return pretty_xml(element.ptr()); },
        nb::arg("element").none());
}

} // namespace

} // namespace korvo::scribe

NB_MODULE(scribe, m) {
    korvo::init_iso_datetime();
    korvo::scribe::bind_escape(m);
    korvo::scribe::bind_scribe(m);
    korvo::scribe::bind_pretty_xml(m);
}
