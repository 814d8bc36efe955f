#include "campaign/model/names.hpp"

#include "common/py_support.hpp"

namespace korvo::campaign {

Names names;

void init_names() {
#define KORVO_NAME(ident) names.ident = intern(#ident);
#include "campaign/model/names.def"
#undef KORVO_NAME
}

} // namespace korvo::campaign
