// Python names of the result files: write_yaml and write_json.
#include "campaign/bindings/bindings.hpp"
#include "campaign/output/report_files.hpp"

namespace korvo::campaign {

void bind_output(nb::handle base_cls) {
    def_method(
        base_cls, "write_yaml",
        [](nb::handle self, nb::handle path) { write_yaml_file(self.ptr(), path.ptr()); },
        nb::arg("path"));
    def_method(
        base_cls, "write_json",
        [](nb::handle self, nb::handle path) { write_json_file(self.ptr(), path.ptr()); },
        nb::arg("path"));
    remember_native_dumps(base_cls.ptr());
}

} // namespace korvo::campaign
