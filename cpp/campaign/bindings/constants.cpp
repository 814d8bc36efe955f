#include "campaign/bindings/bindings.hpp"
#include "campaign/model/result_class.hpp"

namespace korvo::campaign {

void bind_constants(nb::module_& m) {
    m.attr("VERSION") = "3.0";
    nb::list ignore;
    ignore.append(nb::none());
    ignore.append(nb::list());
    ignore.append(nb::dict());
    m.attr("VALUE_IGNORE") = ignore;
    m.attr("FLOAT_PRECISION") = 2;
    m.attr("YAML_MAP") = "tag:yaml.org,2002:map";
    m.attr("YAML_STR") = "tag:yaml.org,2002:str";
    m.attr("YAML_FLT") = "tag:yaml.org,2002:float";
    m.def(
        "_result_class",
        [](nb::handle name) { return result_class_word(result_class_of_name(name.ptr())); },
        nb::arg("name"), "\"pass\", \"skip\" or \"fail\": what a result of this text form means.");
}

} // namespace korvo::campaign
