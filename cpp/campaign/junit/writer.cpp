#include "campaign/junit/writer.hpp"

#include <cmath>
#include <cstdio>
#include <memory>

#include "campaign/junit/log_slice.hpp"
#include "campaign/junit/outcome.hpp"
#include "campaign/junit/xml_text.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/rerun_note.hpp"
#include "campaign/walk/node_access.hpp"
#include "common/gc_pause.hpp"
#include "common/iso_datetime.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::junit {

namespace {

struct Totals : JunitTotals {
    void count(Outcome o) {
        ++tests;
        if (o == Outcome::Failure) ++failures;
        if (o == Outcome::Error) ++errors;
        if (o == Outcome::Skipped || o == Outcome::NoResult) ++skipped;
    }
    void add(const Totals& t) {
        tests += t.tests;
        failures += t.failures;
        errors += t.errors;
        skipped += t.skipped;
    }
};

nb::object read(PyObject* node, PyObject* name) {
    return read_listed(node, name);
}

// Names the model does not intern for itself.
struct JunitNames {
    PyObject* host = intern("host");
    PyObject* testscript = intern("testscript");
};

const JunitNames& names() {
    static const JunitNames n;
    return n;
}

void put_attribute(std::string& out, const char* name, PyObject* value) {
    out.append(" ").append(name).append("=\"");
    append_xml_str(out, value, XmlPlace::Attribute);
    out.push_back('"');
}

void put_count(std::string& out, const char* name, long long n) {
    out.append(" ").append(name).append("=\"").append(std::to_string(n)).push_back('"');
}

// Seconds with millisecond precision; a node that never stopped has no run time.
void put_time(std::string& out, PyObject* node) {
    nb::object runtime = read(node, interned.runtime);
    double seconds = 0.0;
    if (!finite_seconds(runtime.ptr(), seconds) || seconds < 0) seconds = 0.0;
    char buf[64];
    std::snprintf(buf, sizeof buf, " time=\"%.3f\"", seconds);
    out.append(buf);
}

// ISO 8601 with the date and time joined by "T".
void put_timestamp(std::string& out, PyObject* node) {
    nb::object start = read(node, interned.starttime);
    if (!start || start.ptr() == Py_None) return;
    if (!is_datetime(start.ptr())) {
        put_attribute(out, "timestamp", start.ptr());
        return;
    }
    std::string text;
    append_iso_datetime(text, start.ptr());
    if (text.size() > 10 && text[10] == ' ') text[10] = 'T';
    out.append(" timestamp=\"").append(text).push_back('"');
}

// The script's file name without its extension, else the task id.
nb::object class_name_of(PyObject* task) {
    nb::object script = read(task, names().testscript);
    if (script && PyUnicode_Check(script.ptr()) && PyUnicode_GET_LENGTH(script.ptr()) > 0) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(script.ptr());
        Py_ssize_t slash = PyUnicode_FindChar(script.ptr(), '/', 0, n, -1);
        if (slash == -2) throw nb::python_error();
        Py_ssize_t start = slash + 1;
        Py_ssize_t dot = PyUnicode_FindChar(script.ptr(), '.', start, n, -1);
        if (dot == -2) throw nb::python_error();
        Py_ssize_t end = dot > start ? dot : n;
        if (end > start) return check(PyUnicode_Substring(script.ptr(), start, end));
    }
    nb::object id = read(task, interned.id);
    return check(PyObject_Str(id ? id.ptr() : Py_None));
}

class Writer {
  public:
    explicit Writer(PyObject* logs_dir) {
        std::vector<std::string> dirs = files::LogDir::dirs_of(logs_dir);
        if (!dirs.empty()) logs_.reset(new LogReader(std::move(dirs)));
    }

    JunitDocument document(PyObject* campaign) {
        std::string suites;
        Totals totals;
        nb::object host = read(campaign, names().host);
        if (host && host.ptr() == Py_None) host = nb::object();
        nb::object campaign_id = read(campaign, interned.id);
        nb::object tasks = read(campaign, interned.tasks);
        if (!tasks) {
            PyErr_Format(PyExc_TypeError, "JUnit XML is made from a Campaign tree, not %.200s",
                         Py_TYPE(campaign)->tp_name);
            throw nb::python_error();
        }
        for_each_child(tasks, [&](PyObject* entry) {
            if (is_instance_of_global(entry, interned.Plugin))
                job_plugin(suites, totals, campaign_id.ptr(), host, entry);
            else
                task_suite(suites, totals, host, entry);
        });

        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites";
        if (campaign_id) put_attribute(out, "name", campaign_id.ptr());
        put_totals(out, totals);
        put_time(out, campaign);
        if (suites.empty()) {
            out.append("/>\n");
        } else {
            out.append(">\n").append(suites).append("</testsuites>\n");
        }
        return JunitDocument{std::move(out), totals};
    }

  private:
    template <typename F> void for_each_child(const nb::object& list, F&& f) {
        if (!list || !PyList_Check(list.ptr())) return;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object child = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
            signals_.step();
            f(child.ptr());
        }
    }

    static void put_totals(std::string& out, const Totals& t) {
        put_count(out, "tests", t.tests);
        put_count(out, "failures", t.failures);
        put_count(out, "errors", t.errors);
        put_count(out, "skipped", t.skipped);
    }

    void open_suite(std::string& out, PyObject* name, const Totals& t, const nb::object& host,
                    PyObject* node) {
        out.append("  <testsuite");
        put_attribute(out, "name", name);
        put_totals(out, t);
        put_time(out, node);
        put_timestamp(out, node);
        if (host) put_attribute(out, "hostname", host.ptr());
    }

    void task_suite(std::string& out, Totals& totals, const nb::object& host, PyObject* task) {
        std::string cases;
        Totals t;
        nb::object classname = class_name_of(task);
        nb::object sections = read(task, interned.sections);
        for_each_child(sections, [&](PyObject* child) {
            bool plugin = is_instance_of_global(child, interned.Plugin);
            nb::object type = plugin ? nb::object() : read(child, interned.type);
            bool testcase = type && PyUnicode_Check(type.ptr()) &&
                            PyUnicode_CompareWithASCIIString(type.ptr(), "Testcase") == 0;
            test_case(cases, t, classname.ptr(), child, /*always=*/testcase);
        });
        nb::object id = read(task, interned.id);
        open_suite(out, id ? id.ptr() : Py_None, t, host, task);
        if (cases.empty())
            out.append("/>\n");
        else
            out.append(">\n").append(cases).append("  </testsuite>\n");
        totals.add(t);
    }

    // A job-level plugin that did not pass: a suite of its own, in its place among the tasks.
    void job_plugin(std::string& out, Totals& totals, PyObject* campaign_id, const nb::object& host,
                    PyObject* plugin) {
        std::string cases;
        Totals t;
        nb::object classname = check(PyObject_Str(campaign_id ? campaign_id : Py_None));
        test_case(cases, t, classname.ptr(), plugin, /*always=*/false);
        if (cases.empty()) return;
        nb::object id = read(plugin, interned.id);
        open_suite(out, id ? id.ptr() : Py_None, t, host, plugin);
        out.append(">\n").append(cases).append("  </testsuite>\n");
        totals.add(t);
    }

    // `always`: a testcase section; otherwise a setup, cleanup or plugin, shown only
    // when it has a result that is not a pass.
    void test_case(std::string& out, Totals& t, PyObject* classname, PyObject* node, bool always) {
        nb::object result = read(node, interned.result);
        Verdict verdict = judge(result ? result.ptr() : Py_None);
        if (!always && (verdict.outcome == Outcome::Pass || verdict.outcome == Outcome::NoResult))
            return;
        t.count(verdict.outcome);

        nb::object id = read(node, interned.id);
        out.append("    <testcase");
        put_attribute(out, "classname", classname);
        put_attribute(out, "name", id ? id.ptr() : Py_None);
        put_time(out, node);

        std::string inner;
        put_reruns(inner, node);
        put_outcome(inner, node, verdict);
        put_log(inner, node);
        if (inner.empty()) {
            out.append("/>\n");
        } else {
            out.append(">\n").append(inner).append("    </testcase>\n");
        }
    }

    static void put_culprit_line(std::string& out, const Culprit& c, XmlPlace place) {
        append_xml(out, c.path.ptr(), place);
        out.push_back(' ');
        append_xml(out, c.result_name.ptr(), place);
        if (c.description) {
            out.append(": ");
            append_xml_str(out, c.description.ptr(), place);
        }
        if (c.reason) {
            out.append(" (");
            append_xml_str(out, c.reason.ptr(), place);
            out.push_back(')');
        }
    }

    // What a merge of reruns noted on the node ("rerun: was failed"), one property per run
    // it replaced, as pytest writes a testcase's recorded properties.
    static void put_reruns(std::string& out, PyObject* node) {
        nb::object details = read(node, interned.details);
        if (!details || !PyList_Check(details.ptr())) return;
        size_t at = out.size();
        nb::object history;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(details.ptr()); ++i) {
            nb::object detail = nb::borrow(PyList_GET_ITEM(details.ptr(), i));
            if (!read_rerun_note(detail.ptr(), history)) continue;
            if (out.size() == at) out.append("      <properties>\n");
            out.append("        <property name=\"rerun\"");
            put_attribute(out, "value", history.ptr());
            out.append("/>\n");
        }
        if (out.size() != at) out.append("      </properties>\n");
    }

    void put_outcome(std::string& out, PyObject* node, const Verdict& verdict) {
        const char* element = nullptr;
        switch (verdict.outcome) {
        case Outcome::Pass:
            return;
        case Outcome::Failure:
            element = "failure";
            break;
        case Outcome::Error:
            element = "error";
            break;
        case Outcome::Skipped:
        case Outcome::NoResult:
            element = "skipped";
            break;
        }
        out.append("      <").append(element);
        if (verdict.outcome == Outcome::NoResult) {
            out.append(" message=\"no result recorded\"/>\n");
            return;
        }
        if (verdict.outcome != Outcome::Skipped) put_attribute(out, "type", verdict.name.ptr());

        std::vector<Culprit> culprits = find_culprits(node, verdict.outcome);
        if (culprits.empty()) {
            nb::object id = read(node, interned.id);
            nb::object path = check(PyObject_Str(id ? id.ptr() : Py_None));
            culprits.push_back(culprit_of(node, path.ptr(), verdict));
        }
        out.append(" message=\"");
        put_culprit_line(out, culprits.front(), XmlPlace::Attribute);
        out.append("\">");
        for (size_t i = 0; i < culprits.size(); ++i) {
            if (i) out.push_back('\n');
            put_culprit_line(out, culprits[i], XmlPlace::Text);
        }
        out.append("</").append(element).append(">\n");
    }

    void put_log(std::string& out, PyObject* node) {
        if (!logs_) return;
        nb::object logs = read(node, interned.logs);
        nb::object text;
        if (!logs || !logs_->read(logs.ptr(), text)) return;
        out.append("      <system-out>");
        append_xml(out, text.ptr(), XmlPlace::Text);
        out.append("</system-out>\n");
    }

    std::unique_ptr<LogReader> logs_;
    SignalPoll signals_;
};

} // namespace

JunitDocument junit_document(PyObject* campaign, PyObject* logs_dir) {
    // The texts made per node are short-lived and never cyclic; collections would only
    // walk the whole tree again and again.
    GcPause pause;
    return Writer(logs_dir).document(campaign);
}

} // namespace korvo::campaign::junit
