#include "scribe/export/driver.hpp"

#include <optional>
#include <string>

#include "common/gc_pause.hpp"
#include "common/py_support.hpp"
#include "files/safe_file.hpp"
#include "scribe/mapping/handlers.hpp"
#include "scribe/runtime/py_calls.hpp"
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
    check_library_depth(element);
    nb::object tostring =
        get_attr(scribe_global(scribe_interned.ET).ptr(), scribe_interned.tostring);
    return call(tostring.ptr(), {element, scribe_constants.utf8}, scribe_constants.kw_encoding);
}

// minidom.parseString(rough).toprettyxml(indent="  ")
nb::object library_pretty(PyObject* rough) {
    nb::object parse =
        get_attr(scribe_global(scribe_interned.minidom).ptr(), scribe_interned.parseString);
    nb::object doc = call(parse.ptr(), {rough});
    nb::object pretty = get_attr(doc.ptr(), scribe_interned.toprettyxml);
    return call(pretty.ptr(), {scribe_constants.two_blanks}, scribe_constants.kw_indent);
}

// A result document's text: the native printer's, or the DOM library's str.
struct DocumentText {
    std::string native;
    nb::object library;
    const char* data = nullptr;
    size_t size = 0;

    void take_library(nb::object text) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
        if (!utf8) throw nb::python_error();
        library = std::move(text); // keeps the UTF-8 form alive
        data = utf8;
        size = (size_t)len;
    }
    void take_native() {
        data = native.data();
        size = native.size();
    }
};

bool is_ordinary(const nb::python_error& e) {
    return e.matches(PyExc_Exception);
}

// Leaves the raw serialisation for inspection; the caller then re-raises `failure`, the
// error that matters, with a failure of this dump attached as its context.
void dump_rough(PyObject* self, PyObject* rough, nb::python_error& failure) {
    try {
        char* data = nullptr;
        Py_ssize_t len = 0;
        check_status(PyBytes_AsStringAndSize(rough, &data, &len));
        nb::object path = result_path(self, "/xml_rough_string");
        files::write_file(path, data, (size_t)len);
    } catch (nb::python_error& dump_error) {
        if (!is_ordinary(dump_error)) throw;
        nb::object dump = exception_object(dump_error);
        PyObject* held = failure.value().ptr();
        // Only an instance has a context; before 3.12 the failure may be held unmade.
        if (!held || !PyExceptionInstance_Check(held) || !PyExceptionInstance_Check(dump.ptr()))
            return;
        PyException_SetContext(dump.ptr(), nullptr);
        PyException_SetContext(held, dump.release().ptr());
    }
}

// The document's text, pretty-printed natively, or through the DOM library when the
// native printer declines (which then raises the parser's own error). `rough` receives
// the serialisation when the library path made it.
void produce_text(PyObject* root, DocumentText& text, nb::object& rough) {
    if (pretty_print_element(root, text.native)) {
        text.take_native();
        return;
    }
    rough = rough_bytes(root);
    text.take_library(library_pretty(rough.ptr()));
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
             set_or_empty(get_path(ts, {scribe_interned.initinfo, scribe_interned.zet,
                                        scribe_interned.path}))
                 .ptr());
    nb::object element = get_attr(et.ptr(), scribe_interned.Element);
    nb::object root = call(element.ptr(), {scribe_interned.jobSummary, attrib.ptr()});

    nb::object initinfo = get_attr(ts, scribe_interned.initinfo);
    set_attr(sub_element(et.ptr(), root.ptr(), scribe_interned.jobName).ptr(), scribe_interned.text,
             get_attr(initinfo.ptr(), scribe_interned.name).ptr());
    set_attr(sub_element(et.ptr(), root.ptr(), scribe_interned.image).ptr(), scribe_interned.text,
             get_attr(initinfo.ptr(), scribe_interned.image).ptr());

    call_method(get_attr(ts, scribe_interned.summary).ptr(),
                scribe_interned.generate_resultsonly_dom, {root.ptr()});
    for (PyObject* name :
         {scribe_interned.starttime, scribe_interned.stoptime, scribe_interned.runtime})
        call_method(ts, scribe_interned.generate_simple_elt_dom, {root.ptr(), name});
    for (PyObject* name :
         {scribe_interned.testbed, scribe_interned.release, scribe_interned.submitter})
        call_method(get_attr(ts, scribe_interned.initinfo).ptr(),
                    scribe_interned.generate_simple_elt_dom, {root.ptr(), name});

    set_attr(sub_element(et.ptr(), root.ptr(), scribe_interned.debugProfile).ptr(),
             scribe_interned.text, scribe_constants.zero_text);

    nb::object hosts = get_path(ts, {scribe_interned.initinfo, scribe_interned.hosts});
    Py_ssize_t count = PyObject_Length(hosts.ptr());
    if (count < 0) throw nb::python_error();
    if (count > 0)
        call_method(hosts.ptr(), scribe_interned.generate_dom, {root.ptr()});
    else
        sub_element(et.ptr(), root.ptr(), scribe_interned.host);
    return root;
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
    set_attr(get_attr(self, scribe_interned.kyreport).ptr(), scribe_interned.campaign,
             legacy.ptr());

    nb::object kyts = get_path(self, {scribe_interned.kyreport, scribe_interned.campaign});
    nb::object root_node = get_attr(self, scribe_interned._campaign);
    run_handler(self, Handler::Campaign, kyts.ptr(), root_node.ptr());

    nb::object details =
        call_method(get_attr(self, scribe_interned.kyreport).ptr(), scribe_interned.generate_dom);
    // The details text goes into its temporary file while it is printed, so the document
    // is never held whole in memory; the targets are still only replaced together, at the
    // end, so a failure anywhere leaves the previous pair as it was.
    nb::object details_path = result_path(self, "/ResultsDetails.xml");
    std::optional<files::ReplacementFile> details_file;
    nb::object rough;
    bool writing = false; // a failure while writing leaves the rough dump, as before
    try {
        writing = true;
        details_file.emplace(details_path);
        writing = false;
        std::string chunk;
        TextFlush flush = [&](std::string& text) {
            writing = true;
            details_file->write(text.data(), text.size());
            writing = false;
            text.clear();
        };
        if (pretty_print_element(details.ptr(), chunk, flush)) {
            flush(chunk);
        } else {
            details_file.reset(); // the chunks printed so far are void
            rough = rough_bytes(details.ptr());
            DocumentText details_text;
            details_text.take_library(library_pretty(rough.ptr()));
            writing = true;
            details_file.emplace(details_path);
            details_file->write(details_text.data, details_text.size);
            writing = false;
        }
    } catch (nb::python_error& e) {
        if (!is_ordinary(e) || (!rough && !writing)) throw;
        if (!rough) rough = rough_bytes(details.ptr());
        dump_rough(self, rough.ptr(), e);
        throw;
    }

    nb::object ts = get_path(self, {scribe_interned.kyreport, scribe_interned.campaign});
    nb::object summary = build_summary(ts.ptr());
    DocumentText summary_text;
    nb::object summary_rough;
    produce_text(summary.ptr(), summary_text, summary_rough);

    nb::object summary_path = result_path(self, "/ResultsSummary.xml");
    // Only a failure of the details file leaves the rough dump, as before.
    size_t failing = 1; // 0: details, 1: summary
    try {
        files::ReplacementFile summary_file(summary_path);
        summary_file.write(summary_text.data, summary_text.size);
        files::ReplacementFile* both[] = {&*details_file, &summary_file};
        files::commit_together(both, 2, &failing);
    } catch (nb::python_error& e) {
        if (!is_ordinary(e) || failing != 0) throw;
        if (!rough) rough = rough_bytes(details.ptr());
        dump_rough(self, rough.ptr(), e);
        throw;
    }
}

} // namespace korvo::scribe
