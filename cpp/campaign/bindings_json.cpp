#include "campaign/bindings.hpp"

namespace korvo::campaign {

void bind_json(nb::module_&, nb::handle) {}

} // namespace korvo::campaign
