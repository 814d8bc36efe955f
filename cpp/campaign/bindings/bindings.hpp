// Wiring of the campaign module's Python names; each file binds one area.
#pragma once

#include <nanobind/nanobind.h>

namespace korvo::campaign {

namespace nb = nanobind;

void bind_constants(nb::module_& m);
void bind_model(nb::module_& m);
// The private file writer behind korvo.reporter.files.
void bind_files(nb::module_& m);
// Serialisation methods are attached to the node base class `base_cls`.
void bind_json(nb::module_& m, nb::handle base_cls);
void bind_yaml(nb::module_& m, nb::handle base_cls);
// write_yaml / write_json, after the dump methods they stand for are bound.
void bind_output(nb::handle base_cls);
void bind_junit(nb::module_& m);
void bind_html(nb::module_& m);

// Attaches a native function as an instance method of an existing class.
template <typename Func, typename... Extra>
void def_method(nb::handle cls, const char* name, Func&& f, const Extra&... extra) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                 nb::scope(cls), extra...));
}

} // namespace korvo::campaign
