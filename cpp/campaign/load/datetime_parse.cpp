#include "campaign/load/datetime_parse.hpp"

#include <datetime.h>

#include <string>

#include "common/iso_datetime.hpp"

namespace korvo::campaign::load {

namespace {

bool digits(const char* s, int n, int& out) {
    out = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

} // namespace

nb::object parse_datetime_text(const char* s, size_t n) {
    if (n < 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' || s[16] != ':')
        return nb::object();
    int year, month, day, hour, minute, second, micro = 0;
    if (!digits(s, 4, year) || !digits(s + 5, 2, month) || !digits(s + 8, 2, day) ||
        !digits(s + 11, 2, hour) || !digits(s + 14, 2, minute) || !digits(s + 17, 2, second))
        return nb::object();
    size_t at = 19;
    if (at < n && s[at] == '.') {
        // The writers leave out a zero fraction, so ".000000" is not theirs.
        if (n < at + 7 || !digits(s + at + 1, 6, micro) || micro == 0) return nb::object();
        at += 7;
    }
    bool aware = at < n;
    int offset_hours = 0, offset_minutes = 0, offset_seconds = 0, offset_micro = 0;
    if (aware) {
        // +HH:MM, with :SS and .ffffff when the offset has them (isoformat's spelling)
        if (n < at + 6 || (s[at] != '+' && s[at] != '-') || s[at + 3] != ':' ||
            !digits(s + at + 1, 2, offset_hours) || !digits(s + at + 4, 2, offset_minutes))
            return nb::object();
        size_t end = at + 6;
        if (end < n) {
            if (n < end + 3 || s[end] != ':' || !digits(s + end + 1, 2, offset_seconds))
                return nb::object();
            end += 3;
        }
        if (end < n) {
            if (n != end + 7 || s[end] != '.' || !digits(s + end + 1, 6, offset_micro))
                return nb::object();
            end += 7;
        }
        if (end != n) return nb::object();
    }
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    PyObject* tz = Py_None;
    nb::object tz_holder;
    if (aware) {
        int sign = s[at] == '-' ? -1 : 1;
        int offset = offset_hours * 3600 + offset_minutes * 60 + offset_seconds;
        nb::object delta = nb::steal(PyDelta_FromDSU(0, sign * offset, sign * offset_micro));
        if (!delta) {
            PyErr_Clear();
            return nb::object();
        }
        tz_holder = nb::steal(PyTimeZone_FromOffset(delta.ptr()));
        if (!tz_holder) {
            PyErr_Clear();
            return nb::object();
        }
        tz = tz_holder.ptr();
    }
    PyObject* value = PyDateTimeAPI->DateTime_FromDateAndTime(
        year, month, day, hour, minute, second, micro, tz, PyDateTimeAPI->DateTimeType);
    if (!value) { // out-of-range fields: a text after all
        PyErr_Clear();
        return nb::object();
    }
    nb::object out = nb::steal(value);
    if (aware) {
        // Offsets print through utcoffset(); only a spelling that comes back is taken.
        std::string again;
        append_iso_datetime(again, out.ptr());
        if (again.size() != n || again.compare(0, n, s, n) != 0) return nb::object();
    }
    return out;
}

} // namespace korvo::campaign::load
