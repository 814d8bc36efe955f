#include "campaign/html/report_data.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <datetime.h>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "campaign/json/datetime_text.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/walk/node_access.hpp"
#include "campaign/walk/node_order.hpp"
#include "campaign/walk/result_cache.hpp"

namespace korvo::campaign::html {

namespace {

constexpr long long kNone = LLONG_MIN;

// Texts that repeat across nodes (ids, types, results, file names), written once each.
class TextTable {
  public:
    int32_t index(PyObject* text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (!data) throw nb::python_error();
        auto [it, added] = index_.try_emplace(std::string(data, size_t(size)), 0);
        if (added) {
            it->second = int32_t(texts_.size());
            texts_.push_back(nb::borrow(text));
        }
        return it->second;
    }
    void write(DataWriter& out) const {
        out.raw('[');
        for (size_t i = 0; i < texts_.size(); ++i) {
            if (i) out.raw(',');
            out.string(texts_[i].ptr());
        }
        out.raw(']');
    }
    const std::vector<nb::object>& texts() const { return texts_; }

  private:
    std::unordered_map<std::string, int32_t> index_;
    std::vector<nb::object> texts_;
};

nb::object as_text(PyObject* obj) {
    if (PyUnicode_Check(obj)) return nb::borrow(obj);
    return check(PyObject_Str(obj));
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = unsigned(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

// A date-time's wall-clock reading in microseconds since 1970 (time zones are not applied:
// a report's times all come from one clock).
long long wall_clock_us(PyObject* dt) {
    long long days = days_from_civil(PyDateTime_GET_YEAR(dt), unsigned(PyDateTime_GET_MONTH(dt)),
                                     unsigned(PyDateTime_GET_DAY(dt)));
    long long secs = days * 86400 + PyDateTime_DATE_GET_HOUR(dt) * 3600LL +
                     PyDateTime_DATE_GET_MINUTE(dt) * 60LL + PyDateTime_DATE_GET_SECOND(dt);
    return secs * 1000000 + PyDateTime_DATE_GET_MICROSECOND(dt);
}

bool is_core_field(PyObject* name) {
    const InternedNames& n = interned;
    return name == n.type || name == n.id || name == n.fullid || name == n.idlist ||
           name == n.name || name == n.starttime || name == n.stoptime || name == n.runtime ||
           name == n.result || name == n.description || name == n.logs || name == n.sections ||
           name == n.tasks;
}

// An item of a mapping, or a null object when it has none.
nb::object mapping_item(PyObject* mapping, PyObject* key) {
    if (PyDict_Check(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v ? nb::borrow(v) : nb::object();
    }
    PyObject* v = PyObject_GetItem(mapping, key);
    if (v) return nb::steal(v);
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return nb::object();
    }
    throw nb::python_error();
}

bool whole_number(const nb::object& obj, long long& out) {
    if (!obj || !PyLong_Check(obj.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0;
}

class Builder {
  public:
    explicit Builder(SliceLimits limits) : limits_(limits), slices_(limits) {}

    void walk(PyObject* root) {
        struct Frame {
            nb::object node, children;
            Py_ssize_t next;
            int32_t index;
        };
        std::vector<Frame> stack;
        std::unordered_set<PyObject*> on_path; // nodes held by `stack`
        auto visit = [&](PyObject* obj, int32_t parent) {
            if (!is_node(obj)) {
                PyErr_Format(PyExc_TypeError, "a child list holds a %.100s, not a report node",
                             Py_TYPE(obj)->tp_name);
                throw nb::python_error();
            }
            if (on_path.count(obj))
                raise(PyExc_ValueError, "circular reference: a report node contains itself");
            int32_t index = int32_t(parent_.size());
            nb::object children = node(obj, parent);
            stack.push_back({nb::borrow(obj), children, 0, index});
            on_path.insert(obj);
        };
        visit(root, -1);
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (!top.children || top.next >= PyList_GET_SIZE(top.children.ptr())) {
                on_path.erase(top.node.ptr());
                stack.pop_back();
                continue;
            }
            nb::object child = nb::borrow(PyList_GET_ITEM(top.children.ptr(), top.next++));
            visit(child.ptr(), top.index);
        }
    }

    nb::object finish(PyObject* logs_dir) {
        if (logs_dir != Py_None) {
            PyObject* encoded = nullptr;
            if (!PyUnicode_FSConverter(logs_dir, &encoded)) throw nb::python_error();
            nb::object hold = nb::steal(encoded);
            std::string dir(PyBytes_AS_STRING(encoded), size_t(PyBytes_GET_SIZE(encoded)));
            std::vector<std::string> names;
            for (const nb::object& f : files_.texts()) {
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(f.ptr(), &size);
                if (!data) throw nb::python_error();
                names.emplace_back(data, size_t(size));
            }
            nb::gil_scoped_release unlocked;
            slices_.load(dir, names);
        }
        DataWriter out;
        out.raw("{\"format\":1,\"t0\":", 17);
        if (base_ == kNone)
            out.raw("null", 4);
        else
            out.integer(base_);
        out.raw(",\"sliceCap\":", 12);
        out.integer(limits_.per_node);
        out.raw(",\"logsDir\":", 11);
        if (logs_dir == Py_None)
            out.raw("false", 5);
        else
            out.raw("true", 4);
        section(out, "ids");
        ids_.write(out);
        section(out, "types");
        types_.write(out);
        section(out, "results");
        results_.write(out);
        section(out, "files");
        files_.write(out);
        column(out, "parent", parent_);
        column(out, "id", id_);
        column(out, "type", type_);
        column(out, "result", result_);
        column(out, "start", start_);
        column(out, "dur", dur_);
        column(out, "logs", logs_);
        section(out, "desc");
        out.raw('{');
        out.append(desc_.finish());
        out.raw('}');
        section(out, "info");
        out.raw('{');
        out.append(info_.finish());
        out.raw("},", 2);
        slices_.write(out);
        out.raw('}');
        return out.finish_for_script();
    }

  private:
    static void section(DataWriter& out, const char* name) {
        out.raw(",\"", 2);
        out.raw(name, std::strlen(name));
        out.raw("\":", 2);
    }
    template <typename T>
    static void column(DataWriter& out, const char* name, const std::vector<T>& values) {
        section(out, name);
        out.raw('[');
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) out.raw(',');
            if (values[i] == T(kNone))
                out.raw("null", 4);
            else
                out.integer((long long)values[i]);
        }
        out.raw(']');
    }

    static void sparse_key(DataWriter& w, bool& first, int32_t index) {
        if (!first) w.raw(',');
        first = false;
        w.raw('"');
        w.integer(index);
        w.raw("\":", 2);
    }

    // One more field in this node's entry of `info`.
    void info_field(int32_t index, bool& open, PyObject* name, PyObject* value) {
        if (!open) {
            sparse_key(info_, info_first_, index);
            info_.raw('{');
            open = true;
        } else {
            info_.raw(',');
        }
        info_.string(name);
        info_.raw(':');
        info_.value(value);
    }

    long long time_field(PyObject* obj, PyObject* name, int32_t index, bool& open) {
        nb::object v = read_listed(obj, name);
        if (!v || v.ptr() == Py_None) return kNone;
        if (!is_datetime(v.ptr())) {
            info_field(index, open, name, v.ptr());
            return kNone;
        }
        long long us = wall_clock_us(v.ptr());
        if (base_ == kNone) base_ = us;
        return us - base_;
    }

    // Records one node; returns a snapshot of its children (null when it has none).
    nb::object node(PyObject* obj, int32_t parent) {
        int32_t index = int32_t(parent_.size());
        bool open = false; // this node's entry of `info` is open
        parent_.push_back(parent);

        nb::object id = read_listed(obj, interned.id);
        id_.push_back(ids_.index(as_text(id ? id.ptr() : Py_None).ptr()));
        nb::object type = read_listed(obj, interned.type);
        type_.push_back(type && type.ptr() != Py_None ? types_.index(as_text(type.ptr()).ptr())
                                                      : -1);

        nb::object result = read_listed(obj, interned.result);
        bool urgent = false;
        if (result && result.ptr() != Py_None) {
            const SeenResult& seen = result_entry(result.ptr());
            result_.push_back(seen.index);
            urgent = result_urgent(seen.index);
            if (seen.annotated) info_field(index, open, interned.result, result.ptr());
        } else {
            result_.push_back(-1);
        }

        long long start = time_field(obj, interned.starttime, index, open);
        start_.push_back(start);
        time_field(obj, interned.stoptime, index, open);
        nb::object runtime = read_listed(obj, interned.runtime);
        long long dur = kNone;
        if (runtime && (PyFloat_Check(runtime.ptr()) || PyLong_Check(runtime.ptr()))) {
            double seconds = PyFloat_AsDouble(runtime.ptr());
            if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
            if (std::isfinite(seconds) && std::fabs(seconds) < 1e12)
                dur = (long long)std::llround(seconds * 1e6);
        } else if (runtime && runtime.ptr() != Py_None) {
            info_field(index, open, interned.runtime, runtime.ptr());
        }
        dur_.push_back(dur);

        nb::object desc = read_listed(obj, interned.description);
        if (desc && desc.ptr() != Py_None) {
            sparse_key(desc_, desc_first_, index);
            desc_.text(desc.ptr());
        }
        nb::object name = read_listed(obj, interned.name);
        if (name && name.ptr() != Py_None && id) {
            int same = PyObject_RichCompareBool(name.ptr(), id.ptr(), Py_EQ);
            check_status(same);
            if (!same) info_field(index, open, interned.name, name.ptr());
        }
        nb::object logs = read_listed(obj, interned.logs);
        if (logs && PyMapping_Check(logs.ptr()) && !PyUnicode_Check(logs.ptr()))
            log_position(index, logs.ptr(), urgent, open);

        // Everything else the node lists and sets, shown on demand.
        nb::object order = arg_order(obj);
        OrderRef known = order_info(order.ptr());
        auto field = [&](PyObject* name) {
            if (is_core_field(name)) return;
            nb::object v = read_listed(obj, name);
            if (!v || is_ignored_value(v.ptr())) return;
            info_field(index, open, name, v.ptr());
        };
        if (known && known->names) {
            // Held by `known`, so the names outlive anything the reads run.
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known->names); ++i)
                field(PyTuple_GET_ITEM(known->names, i));
        } else {
            for_each_listed(order.ptr(), field);
        }
        if (open) info_.raw('}');

        nb::object kids = read_listed(obj, interned.tasks);
        if (!kids || kids.ptr() == Py_None) kids = read_listed(obj, interned.sections);
        if (!kids || kids.ptr() == Py_None) return nb::object();
        return check(PySequence_List(kids.ptr()));
    }

    template <typename F> static void for_each_listed(PyObject* order, F&& f) {
        nb::object seq = check(PySequence_List(order));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.ptr()); ++i) {
            nb::object name = nb::borrow(PyList_GET_ITEM(seq.ptr(), i));
            if (!PyUnicode_Check(name.ptr())) continue;
            // The core names are compared by identity, so listed names are interned first.
            PyObject* raw = name.inc_ref().ptr();
            PyUnicode_InternInPlace(&raw);
            nb::object interned_name = nb::steal(raw);
            f(interned_name.ptr());
        }
    }

    struct SeenResult {
        nb::object held; // keeps the address from being reused during the walk
        int32_t index;
        bool annotated; // has a reason or data
    };
    // Many nodes share a few result objects: each exact TestResult is asked once per walk
    // (its text and fields do not change meanwhile). Others are asked every time.
    const SeenResult& result_entry(PyObject* result) {
        bool remember = result_cache_.remembers(result);
        if (remember) {
            auto it = seen_results_.find(result);
            if (it != seen_results_.end()) return it->second;
        }
        SeenResult entry{nb::borrow(result), results_.index(as_text(result).ptr()), false};
        nb::object reason = optional_attr(result, interned.reason);
        nb::object data = optional_attr(result, interned.data);
        entry.annotated = (reason && truthy(reason.ptr())) || (data && truthy(data.ptr()));
        if (!remember) {
            last_result_ = std::move(entry);
            return last_result_;
        }
        return seen_results_.emplace(result, std::move(entry)).first->second;
    }

    bool result_urgent(int32_t r) {
        while (urgent_.size() <= size_t(r)) {
            nb::object text = results_.texts()[urgent_.size()];
            nb::object lower = check(PyObject_CallMethodNoArgs(text.ptr(), interned.lower));
            const char* s = PyUnicode_AsUTF8(lower.ptr());
            if (!s) throw nb::python_error();
            std::string key(s);
            urgent_.push_back(key != "passed" && key != "passx" && key != "skipped");
        }
        return urgent_[size_t(r)];
    }

    void log_position(int32_t index, PyObject* logs, bool urgent, bool& open) {
        nb::object file = mapping_item(logs, interned.file);
        if (!file || !PyUnicode_Check(file.ptr())) {
            if (truthy(logs)) info_field(index, open, interned.logs, logs);
            return;
        }
        long long begin = -1, size = -1;
        bool ok = whole_number(mapping_item(logs, interned.begin), begin);
        ok = whole_number(mapping_item(logs, interned.size), size) && ok;
        int32_t f = files_.index(file.ptr());
        logs_.insert(logs_.end(), {index, f, ok ? begin : -1, ok ? size : -1});
        slices_.want(uint32_t(index), uint32_t(f), ok ? begin : -1, ok ? size : -1, urgent);
    }

    SliceLimits limits_;
    nb::object result_cls_ = module_global(interned.TestResult);
    ResultCache result_cache_{PyType_Check(result_cls_.ptr()) ? result_cls_.ptr() : nullptr};
    std::unordered_map<PyObject*, SeenResult> seen_results_;
    SeenResult last_result_;
    TextTable ids_, types_, results_, files_;
    std::vector<bool> urgent_; // per entry of results_
    std::vector<int32_t> parent_, id_, type_, result_;
    std::vector<long long> start_, dur_, logs_;
    DataWriter desc_, info_;
    bool desc_first_ = true, info_first_ = true;
    long long base_ = kNone;
    LogSlices slices_;
};

} // namespace

nb::object report_data(PyObject* root, PyObject* logs_dir, SliceLimits limits) {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    Builder builder(limits);
    builder.walk(root);
    return builder.finish(logs_dir);
}

} // namespace korvo::campaign::html
