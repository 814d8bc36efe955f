// The YAML dumper as the host's YAML library sees it: the YAMLDumper class (a subclass of
// the library's safe dumper) and the representer functions of its table, which build the
// library's own nodes. dump_yaml() does not go through them (see yaml_represent.hpp); they
// serve callers that dump with the library, and define what the native writer must match.
#pragma once

#include <Python.h>

#include "common/py_support.hpp"

namespace korvo::campaign::yaml {

nb::object str_representer(nb::handle dumper, nb::handle data);
nb::object float_representer(nb::handle dumper, nb::handle data);
nb::object type_representer(nb::handle dumper, nb::handle data);
nb::object unknown_representer(nb::handle dumper, nb::handle data);
nb::object result_counter_representer(nb::handle dumper, nb::handle data);
nb::object test_result_representer(nb::handle dumper, nb::handle data);
nb::object attr_dict_representer(nb::handle dumper, nb::handle data);
// ReportHeader.to_yaml and ReportObjectBase.to_yaml (class operations; `cls` is ignored).
nb::object header_to_yaml(nb::handle cls, nb::handle dumper, nb::handle data);
nb::object node_to_yaml(nb::handle cls, nb::handle dumper, nb::handle data);

void header_init(nb::handle self, nb::handle report);

// YAMLDumper's replaced operations.
nb::object dumper_increase_indent(nb::handle self, nb::handle flow, nb::handle indentless);
bool dumper_ignore_aliases(nb::handle self, nb::handle data);

// A plain Python class made as `type(name, bases, {})` would, placed in `module`.
nb::object make_class(nb::handle module, const char* name, nb::handle bases, const char* doc);
// The library's safe dumper class (the base of YAMLDumper).
nb::object library_safe_dumper();
// Remembers YAMLDumper, for the library-version call in increase_indent.
void set_dumper_class(nb::handle cls);

// classmethod(func)
nb::object as_classmethod(nb::handle func);

} // namespace korvo::campaign::yaml
