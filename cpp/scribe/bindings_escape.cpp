#include "scribe/bindings.hpp"

namespace korvo::scribe {

void bind_escape(nb::module_&) {}

} // namespace korvo::scribe
