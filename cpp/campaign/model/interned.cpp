#include "campaign/model/interned.hpp"

#include "common/py_support.hpp"

namespace korvo::campaign {

InternedNames interned;

void init_names() {
#define KORVO_NAME(ident) interned.ident = intern(#ident);
#include "campaign/model/interned.def"
#undef KORVO_NAME
}

} // namespace korvo::campaign
