// Wiring of the scribe module's Python names; each file binds one area.
#pragma once

#include <nanobind/nanobind.h>

namespace korvo::scribe {

namespace nb = nanobind;

void bind_escape(nb::module_& m); // ESCAPE_SEQUENCE, _escape_repl, escape, escape_data
void bind_scribe(nb::module_& m); // Scribe and the legacy library names it uses

} // namespace korvo::scribe
