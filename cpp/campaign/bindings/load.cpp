// Python names for reading results back and merging trees (private; korvo.reporter.load
// and korvo.reporter.merging wrap them).
#include "campaign/bindings/bindings.hpp"
#include "campaign/load/json_reader.hpp"
#include "campaign/load/tree_builder.hpp"
#include "campaign/load/yaml_reader.hpp"
#include "campaign/merge_trees/merge_trees.hpp"
#include "files/input_file.hpp"

namespace korvo::campaign {

void bind_load(nb::module_& m) {
    m.def(
        "_build_tree",
        [](nb::handle report, nb::dict results_by_value, bool from_yaml) {
            load::FieldContext ctx{results_by_value.ptr(),
                                   from_yaml ? load::SourceFormat::Yaml : load::SourceFormat::Json};
            return load::build_tree(report.ptr(), ctx);
        },
        nb::arg("report").none(), nb::arg("results_by_value"), nb::arg("from_yaml"));
    m.def("_read_input", &files::read_input, nb::arg("path").none(),
          "The bytes of the input at `path` (None: standard input), read as a file from "
          "elsewhere: regular files only, never waiting, at most 4 GiB.");
    m.def("_check_input", &files::check_input, nb::arg("path"),
          "Raises as _read_input(path) would, without reading.");
    m.def(
        "_read_json",
        [](nb::bytes data) -> nb::object {
            nb::object doc = load::read_json(data.c_str(), data.size());
            return doc ? doc : nb::none();
        },
        nb::arg("data"),
        "The document json.loads(data) gives, or None for text json.loads must decode "
        "itself (UTF-16, UTF-32, a byte-order mark).");
    m.def(
        "_read_yaml",
        [](nb::bytes data, nb::handle resolve) -> nb::object {
            nb::object doc = load::read_yaml(data.c_str(), data.size(), resolve.ptr());
            return doc ? doc : nb::none();
        },
        nb::arg("data"), nb::arg("resolve"));
    m.def(
        "_merge_trees",
        [](nb::list campaigns, nb::list sources, nb::handle new_id) {
            return merge_trees::merge_campaigns(campaigns.ptr(), sources.ptr(), new_id.ptr());
        },
        nb::arg("campaigns"), nb::arg("sources"), nb::arg("id").none());
}

} // namespace korvo::campaign
