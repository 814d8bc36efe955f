// Private entry point of the native pretty-printer, for tests and benchmarks.
#include "scribe/bindings/bindings.hpp"
#include "scribe/xml/pretty.hpp"

namespace korvo::scribe {

void bind_xml(nb::module_& m) {
    m.def(
        "_pretty_xml", [](nb::handle element) { return pretty_xml(element.ptr()); },
        nb::arg("element").none());
}

} // namespace korvo::scribe
