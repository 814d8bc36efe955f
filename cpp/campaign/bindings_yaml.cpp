#include "campaign/bindings.hpp"

namespace korvo::campaign {

void bind_yaml(nb::module_&, nb::handle) {}

} // namespace korvo::campaign
