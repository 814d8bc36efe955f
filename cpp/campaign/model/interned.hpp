// Interned attribute and key names used on the hot paths.
#pragma once

#include <Python.h>

namespace korvo::campaign {

struct InternedNames {
#define KORVO_NAME(ident) PyObject* ident;
#include "campaign/model/interned.def"
#undef KORVO_NAME
};

extern InternedNames interned;

void init_names();

} // namespace korvo::campaign
