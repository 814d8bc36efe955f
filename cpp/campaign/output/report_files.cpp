#include "campaign/output/report_files.hpp"

#include "campaign/json/dumper.hpp"
#include "campaign/yaml/represent.hpp"
#include "common/ascii_buffer.hpp"
#include "files/safe_file.hpp"

namespace korvo::campaign {

namespace {

// The class's own dump_yaml / dump_json functions, held for the life of the process.
PyObject* native_dump_yaml = nullptr;
PyObject* native_dump_json = nullptr;

class FileSink final : public ChunkSink {
  public:
    explicit FileSink(files::ReplacementFile& file) : file_(file) {}
    void write(const char* data, size_t n) override { file_.write(data, n); }

  private:
    files::ReplacementFile& file_;
};

// The text of a dump method that replaces the native one (a subclass's, or one set on the
// instance), as the bytes it would write; null when the native one applies.
nb::object replaced_dump(PyObject* node, const char* method, PyObject* native) {
    nb::object name = check(PyUnicode_InternFromString(method));
    PyObject* found = type_lookup(Py_TYPE(node), name.ptr());
    if (found == native && !instance_shadows(node, name.ptr())) return nb::object();
    nb::object text = check(PyObject_CallMethodNoArgs(node, name.ptr()));
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s() must return str, not %.200s", method,
                     Py_TYPE(text.ptr())->tp_name);
        throw nb::python_error();
    }
    return text;
}

template <typename Stream>
void write_document(PyObject* node, PyObject* path, const char* method, PyObject* native,
                    Stream stream) {
    if (nb::object text = replaced_dump(node, method, native)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) throw nb::python_error();
        files::write_file(nb::handle(path), utf8, size_t(size));
        return;
    }
    files::ReplacementFile file{nb::handle(path)};
    FileSink sink(file);
    stream(node, sink);
    file.commit();
}

} // namespace

void remember_native_dumps(PyObject* base) {
    auto lookup = [&](const char* method) {
        nb::object name = check(PyUnicode_InternFromString(method));
        PyObject* found = type_lookup(reinterpret_cast<PyTypeObject*>(base), name.ptr());
        if (!found) raise(PyExc_RuntimeError, "the node class has no native dump method");
        Py_INCREF(found);
        return found;
    };
    native_dump_yaml = lookup("dump_yaml");
    native_dump_json = lookup("dump_json");
}

void write_yaml_file(PyObject* node, PyObject* path) {
    write_document(node, path, "dump_yaml", native_dump_yaml, yaml::stream_report_document);
}

void write_json_file(PyObject* node, PyObject* path) {
    write_document(node, path, "dump_json", native_dump_json, stream_json);
}

} // namespace korvo::campaign
