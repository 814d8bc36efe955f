// Interned attribute and key names used on the hot paths.
#pragma once

#include <Python.h>

namespace korvo::campaign {

struct Names {
#define KORVO_NAME(ident) PyObject* ident;
#include "campaign/model/names.def"
#undef KORVO_NAME
};

extern Names names;

void init_names();

} // namespace korvo::campaign
