// Python name of the report page's data builder (the page itself is assembled in Python).
#include "campaign/bindings/bindings.hpp"
#include "campaign/html/report_data.hpp"

namespace korvo::campaign {

void bind_html(nb::module_& m) {
    m.def(
        "_html_data",
        [](nb::handle root, nb::handle logs_dir, long long slice_cap, long long total_cap) {
            if (slice_cap < 0 || total_cap < 0)
                raise(PyExc_ValueError, "log slice limits must not be negative");
            return html::report_data(root.ptr(), logs_dir.ptr(), {slice_cap, total_cap});
        },
        nb::arg("root"), nb::arg("logs_dir").none(), nb::arg("slice_cap"), nb::arg("total_cap"),
        "The JSON data of an HTML report of the tree below `root`, with log slices read from "
        "`logs_dir` (None: no slices).");
}

} // namespace korvo::campaign
