// Python names of the dictionary and JSON forms: to_dict, dump_json and JSONDumper.
#include "campaign/bindings/bindings.hpp"
#include "campaign/json/dumper.hpp"
#include "campaign/walk/node_dict.hpp"

namespace korvo::campaign {

void bind_json(nb::module_& m, nb::handle base_cls) {
    init_json_dumper();
    def_method(base_cls, "to_dict", [](nb::handle self) { return node_to_dict(self.ptr()); });
    def_method(base_cls, "dump_json", [](nb::handle self) { return dump_json(self.ptr()); });

    // A genuine subclass of the standard encoder, so json.dumps(..., cls=JSONDumper) and
    // subclasses of it behave as with any encoder; only the hook is native.
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "JSONDumper";
    ns["__doc__"] = "JSON encoder of the report: nodes, result values, counters, date-times "
                    "and errors are encoded through default().";
    // Made unscoped and placed in the namespace: the base class already has a `default`.
    ns["default"] = nb::cpp_function(
        [](nb::handle self, nb::handle o) { return json_dumper_default(self.ptr(), o.ptr()); },
        nb::name("default"), nb::is_method(), nb::arg("obj").none());
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    nb::object cls = type("JSONDumper", nb::make_tuple(json_encoder_class()), ns);
    m.attr("JSONDumper") = cls;
}

} // namespace korvo::campaign
