#include "campaign/html/report_data.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <datetime.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/result_class.hpp"
#include "campaign/walk/node_access.hpp"
#include "campaign/walk/node_fields.hpp"
#include "campaign/walk/node_order.hpp"
#include "campaign/walk/result_cache.hpp"
#include "common/iso_datetime.hpp"
#include "common/signal_poll.hpp"
#include "files/input_file.hpp"

namespace korvo::campaign::html {

namespace {

constexpr long long kNone = LLONG_MIN;

// Texts that repeat across nodes (ids, types, results, file names), written once each.
class TextTable {
  public:
    int32_t index(PyObject* text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        nb::object spelled;
        if (!data) {
            // Lone surrogates have no UTF-8 form; kept apart by their code points.
            PyErr_Clear();
            spelled = check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
            data = PyBytes_AS_STRING(spelled.ptr());
            size = PyBytes_GET_SIZE(spelled.ptr());
        }
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

// An item of a mapping, or a null object when it has none.
nb::object mapping_item(PyObject* mapping, PyObject* key) {
    if (PyDict_Check(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v ? nb::borrow(v) : nb::object();
    }
    PyObject* v = PyObject_GetItem(mapping, key);
    if (v) return nb::steal(v);
    // a list or other sequence in a mapping's place has no such item either
    if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_IndexError)) {
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
            std::unique_ptr<PathStack::Scope> path;
        };
        std::vector<Frame> stack;
        std::unordered_set<PyObject*> on_path; // nodes held by `stack`
        // Path scopes end innermost first, also when an error unwinds the walk.
        struct Unwind {
            std::vector<Frame>& frames;
            ~Unwind() {
                while (!frames.empty())
                    frames.pop_back();
            }
        } unwind{stack};
        auto visit = [&](PyObject* obj, int32_t parent) {
            if (!is_node(obj)) {
                PyErr_Format(PyExc_TypeError, "a child list holds a %.100s, not a report node",
                             Py_TYPE(obj)->tp_name);
                throw nb::python_error();
            }
            if (on_path.count(obj))
                raise(PyExc_ValueError, "circular reference: a report node contains itself");
            int32_t index = int32_t(parent_.size());
            auto path = std::make_unique<PathStack::Scope>(paths_, obj);
            nb::object children = node(obj, parent, *path);
            stack.push_back({nb::borrow(obj), children, 0, index, std::move(path)});
            on_path.insert(obj);
        };
        visit(root, -1);
        while (!stack.empty()) {
            signals_.step();
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
        std::vector<std::string> dirs = files::LogDir::dirs_of(logs_dir);
        bool have_logs = !dirs.empty();
        if (have_logs) {
            std::vector<std::string> names;
            for (const nb::object& f : files_.texts()) {
                names.emplace_back();
                // a name no file can have stays empty, which names no file
                if (!files::LogDir::file_name(f.ptr(), names.back())) names.back().clear();
            }
            nb::gil_scoped_release unlocked;
            slices_.load(std::move(dirs), names);
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
        if (!have_logs)
            out.raw("false", 5);
        else
            out.raw("true", 4);
        section(out, "ids");
        ids_.write(out);
        section(out, "types");
        types_.write(out);
        section(out, "results");
        results_.write(out);
        // What each result means, by the rule every output shares.
        section(out, "resultClass");
        out.raw('[');
        for (size_t i = 0; i < results_.texts().size(); ++i) {
            if (i) out.raw(',');
            out.raw('"');
            const char* word = result_class_word(result_class_of_name(results_.texts()[i].ptr()));
            out.raw(word, std::strlen(word));
            out.raw('"');
        }
        out.raw(']');
        section(out, "files");
        files_.write(out);
        // Numbers that grow with the tree are written as differences, which stay short:
        // the distance up to the parent, the start after the parent's start, and each log
        // position's node and begin after the previous position's.
        size_t n = parent_.size();
        column(out, "up", n,
               [&](size_t i) { return parent_[i] < 0 ? 0 : (long long)i - parent_[i]; });
        column(out, "id", n, [&](size_t i) { return (long long)id_[i]; });
        column(out, "type", n, [&](size_t i) { return (long long)type_[i]; });
        column(out, "result", n, [&](size_t i) { return (long long)result_[i]; });
        column(out, "start", n, [&](size_t i) {
            if (start_[i] == kNone) return kNone;
            int32_t p = parent_[i];
            return start_[i] - (p >= 0 && start_[p] != kNone ? start_[p] : 0);
        });
        // The stop as stored, after the node's start (a runtime rounded by the writer
        // would give a stop that never happened).
        column(out, "stop", n, [&](size_t i) {
            if (stop_[i] == kNone) return kNone;
            return stop_[i] - (start_[i] != kNone ? start_[i] : 0);
        });
        column(out, "dur", n, [&](size_t i) { return dur_[i]; });
        column(out, "logs", logs_.size(), [&](size_t i) {
            size_t field = i % 4;
            if ((field == 0 || field == 2) && i >= 4) return logs_[i] - logs_[i - 4];
            return logs_[i];
        });
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
    // A JSON array of `size` numbers, value(i) each (kNone written as null).
    template <typename Value>
    static void column(DataWriter& out, const char* name, size_t size, Value&& value) {
        section(out, name);
        out.raw('[');
        for (size_t i = 0; i < size; ++i) {
            if (i) out.raw(',');
            long long v = value(i);
            if (v == kNone)
                out.raw("null", 4);
            else
                out.integer(v);
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

    // Records one node; returns a snapshot of its children (null when it has none).
    nb::object node(PyObject* obj, int32_t parent, const PathStack::Scope& path) {
        int32_t index = int32_t(parent_.size());
        parent_.push_back(parent);
        id_.push_back(-1);
        type_.push_back(-1);
        result_.push_back(-1);
        start_.push_back(kNone);
        stop_.push_back(kNone);
        dur_.push_back(kNone);
        bool open = false;   // this node's entry of `info` is open
        bool urgent = false; // its result needs a look
        nb::object id, name, logs, children;

        nb::object order = arg_order(obj);
        OrderRef known = order_info(order.ptr());
        bool plain = known && known->names;
        // Plain class lists hold interned names; others are compared by text.
        auto is = [plain](PyObject* field, PyObject* name) {
            if (field == name) return true;
            if (plain || !PyUnicode_Check(field)) return false;
            return PyUnicode_Compare(field, name) == 0;
        };
        for_each_node_field(
            obj, plain ? known->names : order.ptr(), &path, &result_cache_,
            [&](Py_ssize_t, PyObject* field, FieldSource source, nb::object v) {
                if (source != FieldSource::Value) return;
                if (is(field, interned.id)) {
                    id = v;
                } else if (is(field, interned.type)) {
                    type_.back() = types_.index(as_text(v.ptr()).ptr());
                } else if (is(field, interned.result)) {
                    const SeenResult& seen = result_entry(v.ptr());
                    result_.back() = seen.index;
                    urgent = result_urgent(seen.index);
                    if (seen.annotated) info_field(index, open, interned.result, v.ptr());
                } else if (is(field, interned.starttime)) {
                    start_.back() = time_field(v.ptr(), interned.starttime, index, open);
                } else if (is(field, interned.stoptime)) {
                    stop_.back() = time_field(v.ptr(), interned.stoptime, index, open);
                } else if (is(field, interned.runtime)) {
                    dur_.back() = duration(v.ptr(), index, open);
                } else if (is(field, interned.description)) {
                    sparse_key(desc_, desc_first_, index);
                    desc_.text(v.ptr());
                } else if (is(field, interned.name)) {
                    name = v;
                } else if (is(field, interned.logs)) {
                    logs = v;
                } else if (is(field, interned.tasks) || is(field, interned.sections)) {
                    if (!children) children = v;
                } else if (!is(field, interned.fullid) && !is(field, interned.idlist)) {
                    info_field(index, open, field, v.ptr());
                }
            });
        if (!id) id = attr_or_none(obj, interned.id);
        id_.back() = ids_.index(as_text(id.ptr()).ptr());
        if (name) {
            int same = PyObject_RichCompareBool(name.ptr(), id.ptr(), Py_EQ);
            check_status(same);
            if (!same) info_field(index, open, interned.name, name.ptr());
        }
        if (logs && PyMapping_Check(logs.ptr()) && !PyUnicode_Check(logs.ptr()))
            log_position(index, logs.ptr(), urgent, open);
        else if (logs)
            info_field(index, open, interned.logs, logs.ptr());
        if (open) info_.raw('}');
        if (!children) return nb::object();
        return check(PySequence_List(children.ptr()));
    }

    long long time_field(PyObject* v, PyObject* name, int32_t index, bool& open) {
        if (!is_datetime(v)) {
            info_field(index, open, name, v);
            return kNone;
        }
        long long us = wall_clock_us(v);
        if (base_ == kNone) base_ = us;
        return us - base_;
    }

    long long duration(PyObject* v, int32_t index, bool& open) {
        double seconds = 0.0;
        if (finite_seconds(v, seconds) && std::fabs(seconds) < 1e12)
            return (long long)std::llround(seconds * 1e6);
        info_field(index, open, interned.runtime, v);
        return kNone;
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
            urgent_.push_back(result_class_of_name(text.ptr()) == ResultClass::Fail);
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
    PathStack paths_;
    nb::object result_cls_ = module_global(interned.TestResult);
    ResultCache result_cache_{PyType_Check(result_cls_.ptr()) ? result_cls_.ptr() : nullptr};
    std::unordered_map<PyObject*, SeenResult> seen_results_;
    SeenResult last_result_;
    TextTable ids_, types_, results_, files_;
    std::vector<bool> urgent_; // per entry of results_
    std::vector<int32_t> parent_, id_, type_, result_;
    std::vector<long long> start_, stop_, dur_, logs_;
    DataWriter desc_, info_;
    bool desc_first_ = true, info_first_ = true;
    long long base_ = kNone;
    LogSlices slices_;
    SignalPoll signals_;
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
