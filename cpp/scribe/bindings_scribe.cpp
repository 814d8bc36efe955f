#include "scribe/bindings.hpp"

namespace korvo::scribe {

void bind_scribe(nb::module_&) {}

} // namespace korvo::scribe
