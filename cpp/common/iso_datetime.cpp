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

bool read_digits(const char* s, int n, int& out) {
    out = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

bool read_date(const char* s, size_t n, int& year, int& month, int& day) {
    return n >= 10 && s[4] == '-' && s[7] == '-' && read_digits(s, 4, year) &&
           read_digits(s + 5, 2, month) && read_digits(s + 8, 2, day);
}

// "+HH:MM[:SS[.ffffff]]" as append_offset writes it, into signed microseconds.
bool read_offset(const char* s, size_t n, long long& offset) {
    int hours = 0, minutes = 0, seconds = 0, micros = 0;
    if (n < 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':' || !read_digits(s + 1, 2, hours) ||
        !read_digits(s + 4, 2, minutes) || hours > 23 || minutes > 59)
        return false;
    size_t at = 6;
    if (at < n) {
        if (n < at + 3 || s[at] != ':' || !read_digits(s + at + 1, 2, seconds) || seconds > 59)
            return false;
        at += 3;
        if (at < n) {
            if (n < at + 7 || s[at] != '.' || !read_digits(s + at + 1, 6, micros) || micros == 0)
                return false;
            at += 7;
        } else if (seconds == 0) {
            return false; // ":00" is left out
        }
    }
    if (at != n) return false;
    offset = ((hours * 60LL + minutes) * 60 + seconds) * 1000000 + micros;
    if (s[0] == '-') {
        if (offset == 0) return false; // no offset is "+00:00"
        offset = -offset;
    }
    return true;
}

// The fixed zone of an offset; the last one is kept, as a journal or document rarely has two.
PyObject* zone_of(long long offset) {
    static long long last_offset = 0;
    static PyObject* last_zone = nullptr;
    if (last_zone && last_offset == offset) return last_zone;
    long long seconds = offset / 1000000;
    nb::object delta = check(PyDelta_FromDSU(0, int(seconds), int(offset - seconds * 1000000)));
    PyObject* zone = PyTimeZone_FromOffset(delta.ptr());
    if (!zone) throw nb::python_error();
    Py_XSETREF(last_zone, zone);
    last_offset = offset;
    return zone;
}

// A value the datetime constructors refuse (month 13, year 0) is no date: null, no error.
nb::object made_or_null(PyObject* made) {
    if (made) return nb::steal(made);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

} // namespace

nb::object date_from_iso(const char* s, size_t n) {
    int year, month, day;
    if (n != 10 || !read_date(s, n, year, month, day)) return nb::object();
    return made_or_null(PyDate_FromDate(year, month, day));
}

nb::object datetime_from_iso(const char* s, size_t n, int fold) {
    int year, month, day, hour, minute, second, micro = 0;
    if (n < 19 || !read_date(s, n, year, month, day) || s[10] != ' ' || s[13] != ':' ||
        s[16] != ':' || !read_digits(s + 11, 2, hour) || !read_digits(s + 14, 2, minute) ||
        !read_digits(s + 17, 2, second))
        return nb::object();
    size_t at = 19;
    if (at < n && s[at] == '.') {
        // a zero fraction is left out
        if (n < at + 7 || !read_digits(s + at + 1, 6, micro) || micro == 0) return nb::object();
        at += 7;
    }
    PyObject* zone = Py_None;
    if (at < n) {
        long long offset = 0;
        if (!read_offset(s + at, n - at, offset)) return nb::object();
        zone = zone_of(offset);
    }
    return made_or_null(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
        year, month, day, hour, minute, second, micro, zone, fold, PyDateTimeAPI->DateTimeType));
}

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
