#include "scribe/export/driver.hpp"

#include <string>

#include "scribe/mapping/handlers.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/export/result_file.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/pretty.hpp"

namespace korvo::scribe {

namespace {

nb::object result_path(PyObject* self, const char* name) {
    nb::object logsdir = get_attr(self, snames.logsdir);
    nb::object suffix = check(PyUnicode_FromString(name));
    return check(PyNumber_Add(logsdir.ptr(), suffix.ptr()));
}

// ET.tostring(element, encoding="utf-8")
nb::object rough_bytes(PyObject* element) {
    nb::object tostring = get_attr(scribe_global(snames.ET).ptr(), snames.tostring);
    return call(tostring.ptr(), {element, sconst.utf8}, sconst.kw_encoding);
}

// minidom.parseString(rough).toprettyxml(indent="  ")
nb::object library_pretty(PyObject* rough) {
    nb::object parse = get_attr(scribe_global(snames.minidom).ptr(), snames.parseString);
    nb::object doc = call(parse.ptr(), {rough});
    nb::object pretty = get_attr(doc.ptr(), snames.toprettyxml);
    return call(pretty.ptr(), {sconst.two_blanks}, sconst.kw_indent);
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
    nb::object factory = get_attr(et, snames.SubElement);
    return call(factory.ptr(), {parent, tag});
}

nb::object set_or_empty(nb::object value) {
    return truthy(value.ptr()) ? value : nb::borrow(sconst.empty_text);
}

// The summary document's root, filled partly here and partly by the legacy objects,
// which append their elements to it.
nb::object build_summary(PyObject* ts) {
    nb::object et = scribe_global(snames.ET);
    nb::object attrib = check(PyDict_New());
    set_item(attrib.ptr(), snames.archiveFilename,
             set_or_empty(get_attr(ts, snames.archivefile)).ptr());
    set_item(attrib.ptr(), snames.zetTreePath,
             set_or_empty(get_path(ts, {snames.initinfo, snames.zet, snames.path})).ptr());
    nb::object element = get_attr(et.ptr(), snames.Element);
    nb::object root = call(element.ptr(), {snames.jobSummary, attrib.ptr()});

    nb::object initinfo = get_attr(ts, snames.initinfo);
    set_attr(sub_element(et.ptr(), root.ptr(), snames.jobName).ptr(), snames.text,
             get_attr(initinfo.ptr(), snames.name).ptr());
    set_attr(sub_element(et.ptr(), root.ptr(), snames.image).ptr(), snames.text,
             get_attr(initinfo.ptr(), snames.image).ptr());

    call_method(get_attr(ts, snames.summary).ptr(), snames.generate_resultsonly_dom, {root.ptr()});
    for (PyObject* name : {snames.starttime, snames.stoptime, snames.runtime})
        call_method(ts, snames.generate_simple_elt_dom, {root.ptr(), name});
    for (PyObject* name : {snames.testbed, snames.release, snames.submitter})
        call_method(get_attr(ts, snames.initinfo).ptr(), snames.generate_simple_elt_dom,
                    {root.ptr(), name});

    set_attr(sub_element(et.ptr(), root.ptr(), snames.debugProfile).ptr(), snames.text,
             sconst.zero_text);

    nb::object hosts = get_path(ts, {snames.initinfo, snames.hosts});
    Py_ssize_t count = PyObject_Length(hosts.ptr());
    if (count < 0) throw nb::python_error();
    if (count > 0)
        call_method(hosts.ptr(), snames.generate_dom, {root.ptr()});
    else
        sub_element(et.ptr(), root.ptr(), snames.host);
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
    nb::object report_cls = scribe_global(snames.KYReport);
    nb::object kyreport = call(report_cls.ptr(), {});
    set_attr(self, snames.kyreport, kyreport.ptr());
    set_attr(self, snames.logsdir, logsdir);
    set_attr(self, snames._campaign, campaign);
}

void generate_xml(PyObject* self) {
    nb::object campaign_cls = scribe_global(snames.Campaign);
    nb::object legacy = call(campaign_cls.ptr(), {});
    set_attr(get_attr(self, snames.kyreport).ptr(), snames.campaign, legacy.ptr());

    nb::object kyts = get_path(self, {snames.kyreport, snames.campaign});
    nb::object root_node = get_attr(self, snames._campaign);
    run_handler(self, Handler::Campaign, kyts.ptr(), root_node.ptr());

    nb::object details = call_method(get_attr(self, snames.kyreport).ptr(), snames.generate_dom);
    write_details(self, details.ptr());

    nb::object ts = get_path(self, {snames.kyreport, snames.campaign});
    nb::object summary = build_summary(ts.ptr());
    write_summary(self, summary.ptr());
}

} // namespace korvo::scribe
