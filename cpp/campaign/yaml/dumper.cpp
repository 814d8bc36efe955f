#include "campaign/yaml/dumper.hpp"

#include <string>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/walk/node_access.hpp"
#include "campaign/yaml/rules.hpp"
#include "campaign/yaml/scalar_text.hpp"

namespace korvo::campaign::yaml {

namespace {

struct DumperNames {
    PyObject* tag_str = intern("tag:yaml.org,2002:str");
    PyObject* tag_float = intern("tag:yaml.org,2002:float");
    PyObject* tag_map = intern("tag:yaml.org,2002:map");
    PyObject* literal = intern("|");
    PyObject* represent_scalar = intern("represent_scalar");
    PyObject* represent_mapping = intern("represent_mapping");
    PyObject* increase_indent = intern("increase_indent");
};

const DumperNames& dumper_names() {
    static const DumperNames instance;
    return instance;
}

PyObject* dumper_class = nullptr;

nb::object represent_scalar(nb::handle dumper, PyObject* tag, PyObject* text,
                            PyObject* style = nullptr) {
    return check(PyObject_CallMethodObjArgs(dumper.ptr(), dumper_names().represent_scalar, tag,
                                            text, style, nullptr));
}

nb::object represent_mapping(nb::handle dumper, PyObject* mapping) {
    return check(PyObject_CallMethodObjArgs(dumper.ptr(), dumper_names().represent_mapping,
                                            dumper_names().tag_map, mapping, nullptr));
}

// The pairs as the list of (key, value) tuples the library emits in list order.
nb::object pair_list(const Pairs& pairs) {
    nb::object list = check(PyList_New(Py_ssize_t(pairs.size())));
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject* t = PyTuple_Pack(2, pairs[i].first.ptr(), pairs[i].second.ptr());
        if (!t) throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), t);
    }
    return list;
}

// The pairs as a dict, which the library sorts.
nb::object pair_dict(const Pairs& pairs) {
    nb::object dict = check(PyDict_New());
    for (const auto& [key, value] : pairs)
        check_status(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
    return dict;
}

} // namespace

nb::object str_representer(nb::handle dumper, nb::handle data) {
    if (!PyUnicode_Check(data.ptr())) raise(PyExc_TypeError, "str_representer expects a str");
    std::string storage;
    TextForm form = text_form(data.ptr(), storage);
    if (!form.literal) return represent_scalar(dumper, dumper_names().tag_str, data.ptr());
    nb::object joined =
        check(PyUnicode_FromKindAndData(form.text.kind, form.text.data, form.text.len));
    return represent_scalar(dumper, dumper_names().tag_str, joined.ptr(), dumper_names().literal);
}

nb::object float_representer(nb::handle dumper, nb::handle data) {
    double value = PyFloat_AsDouble(data.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
    std::string text;
    append_rounded_float(text, value);
    nb::object str = check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    return represent_scalar(dumper, dumper_names().tag_float, str.ptr());
}

nb::object type_representer(nb::handle dumper, nb::handle data) {
    nb::object text = check(PyObject_Repr(data.ptr()));
    return represent_scalar(dumper, dumper_names().tag_str, text.ptr());
}

nb::object unknown_representer(nb::handle dumper, nb::handle data) {
    Pairs pairs;
    unknown_pairs(data.ptr(), pairs);
    return represent_mapping(dumper, pair_dict(pairs).ptr());
}

nb::object result_counter_representer(nb::handle dumper, nb::handle data) {
    Pairs pairs;
    counter_pairs(data.ptr(), pairs);
    return represent_mapping(dumper, pair_list(pairs).ptr());
}

nb::object test_result_representer(nb::handle dumper, nb::handle data) {
    ResultCache::Fields fields;
    ResultCache::read_fields(data.ptr(), fields);
    Pairs pairs;
    result_pairs(fields, pairs);
    return represent_mapping(dumper, pair_dict(pairs).ptr());
}

nb::object attr_dict_representer(nb::handle dumper, nb::handle data) {
    return represent_mapping(dumper, data.ptr());
}

nb::object header_to_yaml(nb::handle, nb::handle dumper, nb::handle data) {
    Pairs pairs;
    header_pairs(data.ptr(), pairs);
    return represent_mapping(dumper, pair_list(pairs).ptr());
}

nb::object node_to_yaml(nb::handle, nb::handle dumper, nb::handle data) {
    Pairs pairs;
    node_pairs(data.ptr(), arg_order(data.ptr()).ptr(), pairs);
    return represent_mapping(dumper, pair_list(pairs).ptr());
}

void header_init(nb::handle self, nb::handle report) {
    set_attr(self.ptr(), interned.report, report.ptr());
}

nb::object dumper_increase_indent(nb::handle self, nb::handle flow, nb::handle) {
    // The library's version, with sequences in mappings always indented.
    if (!dumper_class) raise(PyExc_RuntimeError, "YAMLDumper is not set up");
    nb::object parent = check(
        PyObject_CallFunctionObjArgs((PyObject*)&PySuper_Type, dumper_class, self.ptr(), nullptr));
    nb::object method = get_attr(parent.ptr(), dumper_names().increase_indent);
    return check(PyObject_CallFunctionObjArgs(method.ptr(), flow.ptr(), Py_False, nullptr));
}

bool dumper_ignore_aliases(nb::handle, nb::handle) {
    return true;
}

nb::object make_class(nb::handle module, const char* name, nb::handle bases, const char* doc) {
    nb::object ns = check(PyDict_New());
    nb::object module_name = get_attr(module.ptr(), interned.__name__);
    check_status(PyDict_SetItemString(ns.ptr(), "__module__", module_name.ptr()));
    nb::object doc_text = check(PyUnicode_FromString(doc));
    check_status(PyDict_SetItemString(ns.ptr(), "__doc__", doc_text.ptr()));
    nb::object name_text = check(PyUnicode_FromString(name));
    return check(PyObject_CallFunctionObjArgs((PyObject*)&PyType_Type, name_text.ptr(), bases.ptr(),
                                              ns.ptr(), nullptr));
}

nb::object library_safe_dumper() {
    nb::object lib = check(PyImport_ImportModule("yaml"));
    return check(PyObject_GetAttrString(lib.ptr(), "SafeDumper"));
}

void set_dumper_class(nb::handle cls) {
    Py_XDECREF(dumper_class);
    dumper_class = nb::borrow(cls).release().ptr();
}

nb::object as_classmethod(nb::handle func) {
    return check(PyClassMethod_New(func.ptr()));
}

} // namespace korvo::campaign::yaml
