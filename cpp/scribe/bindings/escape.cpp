#include "scribe/xml/escape.hpp"
#include "scribe/bindings/bindings.hpp"

namespace korvo::scribe {

void bind_escape(nb::module_& m) {
    m.attr("ESCAPE_SEQUENCE") = nb::borrow(escape_pattern());
    m.def(
        "_escape_repl", [](nb::handle match) { return escape_repl(match.ptr()); },
        nb::arg("match").none());
    m.def(
        "escape", [](nb::handle string) { return escape(string.ptr()); }, nb::arg("string").none());
    m.def(
        "escape_data", [](nb::handle data) { return escape_data(data.ptr()); },
        nb::arg("data").none());
}

} // namespace korvo::scribe
