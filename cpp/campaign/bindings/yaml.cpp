// Python names of the YAML output: ReportHeader, YAMLDumper and its representer table,
// and the nodes' to_yaml / dump_yaml.
#include "campaign/bindings/bindings.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/yaml/dumper.hpp"
#include "campaign/yaml/represent.hpp"

namespace korvo::campaign {

namespace {

// A native method for a class that is not one of ours: no scope is given, so the binder does
// not try to chain it with the same-named method inherited from the library's class.
template <typename Func, typename... Extra>
void set_method(nb::handle cls, const char* name, Func&& f, const Extra&... extra) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(), extra...));
}

} // namespace

void bind_yaml(nb::module_& m, nb::handle base_cls) {
    using namespace yaml;

    m.def("str_representer", &str_representer, nb::arg("dumper"), nb::arg("data").none());
    m.def("float_representer", &float_representer, nb::arg("dumper"), nb::arg("data").none());
    m.def("type_representer", &type_representer, nb::arg("dumper"), nb::arg("data").none());
    m.def("unknown_representer", &unknown_representer, nb::arg("dumper"), nb::arg("data").none());
    m.def("ResultCounter_representer", &result_counter_representer, nb::arg("dumper"),
          nb::arg("data").none());
    m.def("TestResult_representer", &test_result_representer, nb::arg("dumper"),
          nb::arg("data").none());
    m.def("AttrDict_representer", &attr_dict_representer, nb::arg("dumper"),
          nb::arg("data").none());

    nb::object header =
        make_class(m, "ReportHeader", nb::make_tuple(nb::handle(&PyBaseObject_Type)),
                   "The top of a YAML results document: the format version, "
                   "then the report under `report`.");
    set_method(header, "__init__", &header_init, nb::arg("report").none());
    header.attr("to_yaml") =
        as_classmethod(nb::cpp_function(&header_to_yaml, nb::arg("cls"), nb::arg("dumper"),
                                        nb::arg("data").none(), nb::name("to_yaml")));
    m.attr("ReportHeader") = header;

    base_cls.attr("to_yaml") =
        as_classmethod(nb::cpp_function(&node_to_yaml, nb::arg("cls"), nb::arg("dumper"),
                                        nb::arg("data").none(), nb::name("to_yaml")));
    def_method(base_cls, "dump_yaml",
               [](nb::handle self) { return dump_report_document(self.ptr()); });

    nb::object dumper = make_class(m, "YAMLDumper", nb::make_tuple(library_safe_dumper()),
                                   "The safe dumper with indented sequences, no aliases and the "
                                   "report's own representers.");
    set_method(dumper, "increase_indent", &dumper_increase_indent, nb::arg("flow").none() = false,
               nb::arg("indentless").none() = false);
    set_method(dumper, "ignore_aliases", &dumper_ignore_aliases, nb::arg("data").none());
    set_dumper_class(dumper);
    m.attr("YAMLDumper") = dumper;

    registered.result_counter = module_global(interned.ResultCounter).release().ptr();
    registered.test_result = module_global(interned.TestResult).release().ptr();
    registered.attr_dict = module_global(interned.AttrDict).release().ptr();
    registered.report_header = header.inc_ref().ptr();

    nb::object add = dumper.attr("add_representer");
    add(nb::handle(&PyUnicode_Type), m.attr("str_representer"));
    add(nb::handle(&PyFloat_Type), m.attr("float_representer"));
    add(nb::handle(&PyType_Type), m.attr("type_representer"));
    add(nb::none(), m.attr("unknown_representer"));
    add(nb::handle(registered.result_counter), m.attr("ResultCounter_representer"));
    add(nb::handle(registered.test_result), m.attr("TestResult_representer"));
    add(nb::handle(registered.attr_dict), m.attr("AttrDict_representer"));
    add(header, header.attr("to_yaml"));
    for (const char* node_class : {"Campaign", "Task", "Section", "Plugin"}) {
        nb::object cls = m.attr(node_class);
        add(cls, cls.attr("to_yaml"));
    }
}

} // namespace korvo::campaign
