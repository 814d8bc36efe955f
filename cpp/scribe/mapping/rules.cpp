#include "scribe/mapping/rules.hpp"

#include <datetime.h>

#include "common/iso_datetime.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/escape.hpp"

namespace korvo::scribe {

namespace {

void ensure_datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw nb::python_error();
    }
}

// value.replace(microsecond=0); plain datetimes are rebuilt without a method call.
nb::object whole_second(PyObject* value) {
    if (nb::object plain = exact_datetime_whole_second(value)) return plain;
    nb::object replace = get_attr(value, scribe_interned.replace);
    return call(replace.ptr(), {scribe_constants.zero}, scribe_constants.kw_microsecond);
}

// Run times of a job are mostly a few whole seconds; one immutable duration per value
// serves every record of the export instead of a new object each.
constexpr long kSharedDurations = 256;

PyObject* shared_duration(long seconds) {
    static PyObject* shared[kSharedDurations] = {};
    if (!shared[seconds])
        shared[seconds] = check(PyDelta_FromDSU(0, (int)seconds, 0)).release().ptr();
    Py_INCREF(shared[seconds]);
    return shared[seconds];
}

// (stop with microseconds zeroed) - (start with microseconds zeroed) for two plain naive
// datetimes, computed from their fields; a null object for anything else.
nb::object whole_seconds_between(PyObject* start, PyObject* stop) {
    ensure_datetime_api();
    if (!PyDateTime_CheckExact(start) || !PyDateTime_CheckExact(stop)) return nb::object();
    if (((PyDateTime_DateTime*)start)->hastzinfo || ((PyDateTime_DateTime*)stop)->hastzinfo)
        return nb::object();
    nb::object delta = check(PyNumber_Subtract(stop, start));
    long long us = (long long)PyDateTime_DELTA_GET_DAYS(delta.ptr()) * 86400000000LL +
                   (long long)PyDateTime_DELTA_GET_SECONDS(delta.ptr()) * 1000000LL +
                   PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr()) -
                   PyDateTime_DATE_GET_MICROSECOND(stop) + PyDateTime_DATE_GET_MICROSECOND(start);
    long long seconds = us / 1000000LL; // exact: both ends are whole seconds now
    if (seconds >= 0 && seconds < kSharedDurations)
        return nb::steal(shared_duration((long)seconds));
    long long days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    return check(PyDelta_FromDSU((int)days, (int)rest, 0));
}

bool ends_with_processor(PyObject* type) {
    if (PyUnicode_Check(type)) {
        Py_ssize_t r = PyUnicode_Tailmatch(type, scribe_constants.processor, 0, PY_SSIZE_T_MAX, +1);
        if (r < 0) throw nb::python_error();
        return r != 0;
    }
    static PyObject* endswith = intern("endswith");
    return truthy(call_method(type, endswith, {scribe_constants.processor}).ptr());
}

} // namespace

nb::object mapping_get(PyObject* mapping, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(dflt);
    }
    return call_method(mapping, scribe_interned.get, {key, dflt});
}

// An entry of an optional mapping field: `dflt` when the field is absent (null object).
static nb::object field_get(const nb::object& field, PyObject* key, PyObject* dflt) {
    return field ? mapping_get(field.ptr(), key, dflt) : nb::borrow(dflt);
}

void copy_timing(PyObject* obj, PyObject* node) {
    set_attr(obj, scribe_interned.starttime, required(node, scribe_interned.starttime).ptr());
    set_attr(obj, scribe_interned.stoptime, required(node, scribe_interned.stoptime).ptr());
    copy_runtime(obj);
}

void copy_runtime(PyObject* obj) {
    nb::object start = get_attr(obj, scribe_interned.starttime);
    nb::object stop = get_attr(obj, scribe_interned.stoptime);
    if (!truthy(start.ptr()) || !truthy(stop.ptr())) return;
    nb::object runtime = whole_seconds_between(start.ptr(), stop.ptr());
    if (!runtime) {
        nb::object stop_s = whole_second(stop.ptr());
        nb::object start_s = whole_second(start.ptr());
        runtime = check(PyNumber_Subtract(stop_s.ptr(), start_s.ptr()));
    }
    set_attr(obj, scribe_interned.runtime, runtime.ptr());
}

void copy_details(PyObject* obj, PyObject* details) {
    nb::object set_args;
    for_each_item(details, [&](PyObject* entry) {
        if (!set_args)
            set_args =
                get_attr(get_attr(obj, scribe_interned.runinfo).ptr(), scribe_interned.set_args);
        nb::object diag = escape(entry);
        call(set_args.ptr(), {diag.ptr()}, scribe_constants.kw_diag);
    });
}

nb::object display_id(PyObject* node) {
    nb::object type = required(node, scribe_interned.type);
    nb::object id = required(node, scribe_interned.id);
    if (!ends_with_processor(type.ptr())) return identifier(id.ptr());
    nb::object name = required(node, scribe_interned.name);
    nb::object both = check(PyUnicode_FromFormat("%S %S", id.ptr(), name.ptr()));
    return identifier(both.ptr());
}

nb::object identifier(PyObject* value) {
    if (!PyUnicode_Check(value)) return nb::borrow(value);
    return escape(value);
}

nb::object escaped_description(PyObject* node) {
    nb::object description = optional(node, scribe_interned.description);
    if (!truthy(description.ptr())) return nb::object();
    return escape(description.ptr());
}

void fill_record_body(PyObject* obj, PyObject* holder, PyObject* node) {
    // Cross-reference; an absent field reads as an empty mapping.
    nb::object xref = optional_attr(node, scribe_interned.xref);
    nb::object xref_rec = get_attr(holder, scribe_interned.xref);
    set_attr(xref_rec.ptr(), scribe_interned.file,
             field_get(xref, scribe_interned.file, scribe_constants.empty_text).ptr());
    set_attr(xref_rec.ptr(), scribe_interned.line,
             field_get(xref, scribe_interned.line, scribe_constants.minus_one).ptr());

    // Log position, always written, defaults included.
    nb::object logs = optional_attr(node, scribe_interned.logs);
    nb::object logfile = get_attr(holder, scribe_interned.logfile);
    nb::object file = field_get(logs, scribe_interned.file, scribe_constants.empty_text);
    set_attr(logfile.ptr(), scribe_interned.filepath, identifier(file.ptr()).ptr());
    nb::object attrs = get_attr(logfile.ptr(), scribe_interned.attrs);
    set_item(attrs.ptr(), scribe_interned.begin,
             field_get(logs, scribe_interned.begin, scribe_constants.minus_one).ptr());
    set_item(attrs.ptr(), scribe_interned.size,
             field_get(logs, scribe_interned.size, scribe_constants.minus_one).ptr());

    // Any result that is present and not null is written, even one that reads as false.
    nb::object result = optional_attr(node, scribe_interned.result);
    if (result && !result.is_none()) {
        nb::object text = text_form(result.ptr());
        set_attr(get_attr(obj, scribe_interned.result).ptr(), scribe_interned.value, text.ptr());
    }

    copy_details(obj, required(node, scribe_interned.details).ptr());
}

void merge_extra(PyObject* obj, PyObject* extra) {
    nb::object clean = escape_data(extra);
    nb::object target = get_attr(obj, scribe_interned.extra);
    // A plain dict's update needs no method lookup; anything else gets its own update.
    if (PyDict_CheckExact(target.ptr()) && PyDict_CheckExact(clean.ptr()))
        return check_status(PyDict_Update(target.ptr(), clean.ptr()));
    call_method(target.ptr(), scribe_interned.update, {clean.ptr()});
}

void fill_section_record(PyObject* record, PyObject* node) {
    copy_timing(record, node);
    nb::object description = escaped_description(node);
    if (description)
        set_item(get_attr(record, scribe_interned.extra).ptr(), scribe_interned.description,
                 description.ptr());
    fill_record_body(record, record, node);
    merge_extra(record, required(node, scribe_interned.extra).ptr());
}

void set_identity(PyObject* holder, PyObject* raw_id, PyObject* node) {
    nb::object id = identifier(raw_id);
    nb::object id_rec = get_attr(holder, scribe_interned.id);
    set_item(get_attr(id_rec.ptr(), scribe_interned.attrs).ptr(), scribe_interned.name, id.ptr());
    set_attr(id_rec.ptr(), scribe_interned.idtypevalue, id.ptr());
    nb::object name = identifier(required(node, scribe_interned.name).ptr());
    set_attr(holder, scribe_interned.name, name.ptr());
}

} // namespace korvo::scribe
