#include "scribe/export/driver.hpp"

#include <string>

#include "common/gc_pause.hpp"
#include "scribe/mapping/handlers.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/export/result_file.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/pretty.hpp"

namespace korvo::scribe {

namespace {

nb::object result_path(PyObject* self, const char* name) {
    nb::object logsdir = get_attr(self, scribe_interned.logsdir);
    nb::object suffix = check(PyUnicode_FromString(name));
    return check(PyNumber_Add(logsdir.ptr(), suffix.ptr()));
}

// ET.tostring(element, encoding="utf-8")
nb::object rough_bytes(PyObject* element) {
    nb::object tostring = get_attr(scribe_global(scribe_interned.ET).ptr(), scribe_interned.tostring);
    return call(tostring.ptr(), {element, scribe_constants.utf8}, scribe_constants.kw_encoding);
}

// minidom.parseString(rough).toprettyxml(indent="  ")
nb::object library_pretty(PyObject* rough) {
    nb::object parse = get_attr(scribe_global(scribe_interned.minidom).ptr(), scribe_interned.parseString);
    nb::object doc = call(parse.ptr(), {rough});
    nb::object pretty = get_attr(doc.ptr(), scribe_interned.toprettyxml);
    return call(pretty.ptr(), {scribe_constants.two_blanks}, scribe_constants.kw_indent);
}

void write_text(PyObject* path, PyObject* text) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &len);
    if (!utf8) throw nb::python_error();
    write_result_file(path, utf8, (size_t)len);
}

void write_bytes(PyObject* path, PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    check_status(PyBytes_AsStringAndSize(bytes, &data, &len));
    write_result_file(path, data, (size_t)len);
}

bool is_ordinary(const nb::python_error& e) {
    return e.matches(PyExc_Exception);
}

// Leaves the raw serialisation for inspection; the caller then re-raises `failure`.
// An error of the dump itself replaces it, with `failure` as its context.
void dump_rough(PyObject* self, PyObject* rough, const nb::python_error& failure) {
    try {
        write_bytes(result_path(self, "/xml_rough_string").ptr(), rough);
    } catch (nb::python_error& dump_error) {
        nb::object context = nb::borrow(failure.value());
        PyException_SetContext(dump_error.value().ptr(), context.release().ptr());
        throw;
    }
}

// The details document: pretty-printed natively, or through the DOM library when the
// native printer declines, which then raises the parser's own error. A document that
// cannot be re-parsed or written leaves xml_rough_string behind.
void write_details(PyObject* self, PyObject* root) {
    std::string text;
    if (pretty_print_element(root, text)) {
        try {
            write_result_file(result_path(self, "/ResultsDetails.xml").ptr(), text.data(),
                              text.size());
        } catch (nb::python_error& e) {
            if (!is_ordinary(e)) throw;
            nb::object rough = rough_bytes(root);
            dump_rough(self, rough.ptr(), e);
            throw;
        }
        return;
    }
    nb::object rough = rough_bytes(root);
    try {
        nb::object pretty = library_pretty(rough.ptr());
        write_text(result_path(self, "/ResultsDetails.xml").ptr(), pretty.ptr());
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        dump_rough(self, rough.ptr(), e);
        throw;
    }
}

nb::object sub_element(PyObject* et, PyObject* parent, PyObject* tag) {
    nb::object factory = get_attr(et, scribe_interned.SubElement);
    return call(factory.ptr(), {parent, tag});
}

nb::object set_or_empty(nb::object value) {
    return truthy(value.ptr()) ? value : nb::borrow(scribe_constants.empty_text);
}

// The summary document's root, filled partly here and partly by the legacy objects,
// which append their elements to it.
nb::object build_summary(PyObject* ts) {
    nb::object et = scribe_global(scribe_interned.ET);
    nb::object attrib = check(PyDict_New());
    set_item(attrib.ptr(), scribe_interned.archiveFilename,
             set_or_empty(get_attr(ts, scribe_interned.archivefile)).ptr());
    set_item(attrib.ptr(), scribe_interned.zetTreePath,
             set_or_empty(get_path(ts, {scribe_interned.initinfo, scribe_interned.zet, scribe_interned.path})).ptr());
    nb::object element = get_attr(et.ptr(), scribe_interned.Element);
    nb::object root = call(element.ptr(), {scribe_interned.jobSummary, attrib.ptr()});

    nb::object initinfo = get_attr(ts, scribe_interned.initinfo);
    set_attr(sub_element(et.ptr(), root.ptr(), scribe_interned.jobName).ptr(), scribe_interned.text,
             get_attr(initinfo.ptr(), scribe_interned.name).ptr());
    set_attr(sub_element(et.ptr(), root.ptr(), scribe_interned.image).ptr(), scribe_interned.text,
             get_attr(initinfo.ptr(), scribe_interned.image).ptr());

    call_method(get_attr(ts, scribe_interned.summary).ptr(), scribe_interned.generate_resultsonly_dom, {root.ptr()});
    for (PyObject* name : {scribe_interned.starttime, scribe_interned.stoptime, scribe_interned.runtime})
        call_method(ts, scribe_interned.generate_simple_elt_dom, {root.ptr(), name});
    for (PyObject* name : {scribe_interned.testbed, scribe_interned.release, scribe_interned.submitter})
        call_method(get_attr(ts, scribe_interned.initinfo).ptr(), scribe_interned.generate_simple_elt_dom,
                    {root.ptr(), name});

    set_attr(sub_element(et.ptr(), root.ptr(), scribe_interned.debugProfile).ptr(), scribe_interned.text,
             scribe_constants.zero_text);

    nb::object hosts = get_path(ts, {scribe_interned.initinfo, scribe_interned.hosts});
    Py_ssize_t count = PyObject_Length(hosts.ptr());
    if (count < 0) throw nb::python_error();
    if (count > 0)
        call_method(hosts.ptr(), scribe_interned.generate_dom, {root.ptr()});
    else
        sub_element(et.ptr(), root.ptr(), scribe_interned.host);
    return root;
}

void write_summary(PyObject* self, PyObject* root) {
    std::string text;
    nb::object path = result_path(self, "/ResultsSummary.xml");
    if (pretty_print_element(root, text)) {
        write_result_file(path.ptr(), text.data(), text.size());
        return;
    }
    nb::object rough = rough_bytes(root);
    nb::object pretty = library_pretty(rough.ptr());
    write_text(path.ptr(), pretty.ptr());
}

} // namespace

void scribe_init(PyObject* self, PyObject* logsdir, PyObject* campaign) {
    nb::object report_cls = scribe_global(scribe_interned.KYReport);
    nb::object kyreport = call(report_cls.ptr(), {});
    set_attr(self, scribe_interned.kyreport, kyreport.ptr());
    set_attr(self, scribe_interned.logsdir, logsdir);
    set_attr(self, scribe_interned._campaign, campaign);
}

void generate_xml(PyObject* self) {
    GcPause pause; // the export makes millions of objects and no garbage cycles
    nb::object campaign_cls = scribe_global(scribe_interned.Campaign);
    nb::object legacy = call(campaign_cls.ptr(), {});
    set_attr(get_attr(self, scribe_interned.kyreport).ptr(), scribe_interned.campaign, legacy.ptr());

    nb::object kyts = get_path(self, {scribe_interned.kyreport, scribe_interned.campaign});
    nb::object root_node = get_attr(self, scribe_interned._campaign);
    run_handler(self, Handler::Campaign, kyts.ptr(), root_node.ptr());

    nb::object details = call_method(get_attr(self, scribe_interned.kyreport).ptr(), scribe_interned.generate_dom);
    write_details(self, details.ptr());

    nb::object ts = get_path(self, {scribe_interned.kyreport, scribe_interned.campaign});
    nb::object summary = build_summary(ts.ptr());
    write_summary(self, summary.ptr());
}

} // namespace korvo::scribe
