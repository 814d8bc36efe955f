#include "common/iso_datetime.hpp"

#include <datetime.h>

#include <cstdio>

#include "common/py_support.hpp"

namespace korvo {

namespace {

void append_2(std::string& out, int v) {
    out.push_back(char('0' + v / 10 % 10));
    out.push_back(char('0' + v % 10));
}

void append_6(std::string& out, int v) {
    char buf[6];
    for (int i = 5; i >= 0; --i, v /= 10)
        buf[i] = char('0' + v % 10);
    out.append(buf, 6);
}

PyObject* tzinfo_of(PyObject* obj) {
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(obj);
    return dt->hastzinfo ? dt->tzinfo : Py_None;
}

void append_offset(std::string& out, PyObject* obj, PyObject* tzinfo) {
    static PyObject* utcoffset = intern("utcoffset");
    nb::object offset = check(PyObject_CallMethodObjArgs(tzinfo, utcoffset, obj, nullptr));
    if (offset.is_none()) return;
    if (!PyDelta_Check(offset.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "tzinfo.utcoffset() must return None or timedelta, not '%.200s'",
                     Py_TYPE(offset.ptr())->tp_name);
        throw nb::python_error();
    }
    long long days = PyDateTime_DELTA_GET_DAYS(offset.ptr());
    long long seconds = PyDateTime_DELTA_GET_SECONDS(offset.ptr());
    long long micros = PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr());
    if (days < -1 || days >= 1 || (days == -1 && seconds == 0 && micros == 0)) {
        PyErr_Format(PyExc_ValueError,
                     "offset must be a timedelta strictly between -timedelta(hours=24) and "
                     "timedelta(hours=24), not %R.",
                     offset.ptr());
        throw nb::python_error();
    }
    long long total = (days * 86400 + seconds) * 1000000 + micros;
    char sign = '+';
    if (total < 0) {
        sign = '-';
        total = -total;
    }
    micros = total % 1000000;
    seconds = total / 1000000;
    out.push_back(sign);
    append_2(out, int(seconds / 3600));
    out.push_back(':');
    append_2(out, int(seconds / 60 % 60));
    if (seconds % 60 || micros) {
        out.push_back(':');
        append_2(out, int(seconds % 60));
        if (micros) {
            out.push_back('.');
            append_6(out, int(micros));
        }
    }
}

} // namespace

void init_iso_datetime() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
}

bool is_datetime(PyObject* obj) {
    return PyDateTime_Check(obj);
}

bool is_exact_datetime(PyObject* obj) {
    return PyDateTime_CheckExact(obj);
}

bool is_exact_date(PyObject* obj) {
    return PyDate_CheckExact(obj);
}

bool has_no_tzinfo(PyObject* datetime) {
    return tzinfo_of(datetime) == Py_None;
}

void append_iso_date(std::string& out, PyObject* date) {
    int year = PyDateTime_GET_YEAR(date);
    out.push_back(char('0' + year / 1000 % 10));
    out.push_back(char('0' + year / 100 % 10));
    append_2(out, year % 100);
    out.push_back('-');
    append_2(out, PyDateTime_GET_MONTH(date));
    out.push_back('-');
    append_2(out, PyDateTime_GET_DAY(date));
}

void append_iso_datetime(std::string& out, PyObject* obj) {
    append_iso_date(out, obj);
    out.push_back(' ');
    append_2(out, PyDateTime_DATE_GET_HOUR(obj));
    out.push_back(':');
    append_2(out, PyDateTime_DATE_GET_MINUTE(obj));
    out.push_back(':');
    append_2(out, PyDateTime_DATE_GET_SECOND(obj));
    if (int us = PyDateTime_DATE_GET_MICROSECOND(obj)) {
        out.push_back('.');
        append_6(out, us);
    }
    PyObject* tzinfo = tzinfo_of(obj);
    if (tzinfo != Py_None) append_offset(out, obj, tzinfo);
}

bool timedelta_microseconds(PyObject* obj, long long& us) {
    if (!PyDelta_Check(obj)) return false;
    us = (long long)PyDateTime_DELTA_GET_DAYS(obj) * 86400000000LL +
         (long long)PyDateTime_DELTA_GET_SECONDS(obj) * 1000000LL +
         PyDateTime_DELTA_GET_MICROSECONDS(obj);
    return true;
}

nb::object exact_datetime_whole_second(PyObject* obj) {
    if (!PyDateTime_CheckExact(obj)) return nb::object();
    if (PyDateTime_DATE_GET_MICROSECOND(obj) == 0) return nb::borrow(obj);
    return check(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
        PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj),
        PyDateTime_DATE_GET_HOUR(obj), PyDateTime_DATE_GET_MINUTE(obj),
        PyDateTime_DATE_GET_SECOND(obj), 0, tzinfo_of(obj), PyDateTime_DATE_GET_FOLD(obj),
        PyDateTimeAPI->DateTimeType));
}

} // namespace korvo
