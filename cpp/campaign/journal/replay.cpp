#include "campaign/journal/replay.hpp"

#include <datetime.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "campaign/journal/crc32.hpp"
#include "campaign/journal/record_format.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/gc_pause.hpp"

namespace korvo::campaign::journal {

namespace {

struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string read_file(PyObject* path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) throw nb::python_error();
    nb::object bytes = nb::steal(raw);
    std::string data;
    FILE* f = nullptr;
    Py_BEGIN_ALLOW_THREADS f = std::fopen(PyBytes_AS_STRING(raw), "rb");
    if (f) {
        char buf[1 << 16];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            data.append(buf, n);
    }
    Py_END_ALLOW_THREADS if (!f) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        throw nb::python_error();
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        throw nb::python_error();
    }
    return data;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// True when the line (without its line break) ends in the checksum that continues `chain`;
// `chain` then becomes that checksum.
bool checksum_holds(std::string_view line, char closing, uint32_t& chain) {
    if (line.size() < kChecksumTail + 1 || line.back() != closing) return false;
    size_t at = line.size() - kChecksumTail;
    if (line[at] != '"' || line[at + 9] != '"') return false;
    uint32_t stated = 0;
    for (size_t i = at + 1; i < at + 9; ++i) {
        int d = hex_digit(line[i]);
        if (d < 0) return false;
        stated = stated << 4 | uint32_t(d);
    }
    if (crc32(chain, line.data(), at) != stated) return false;
    chain = stated;
    return true;
}

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(char(c));
        return;
    }
    if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
    } else {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    }
    out.push_back(char(0x80 | (c & 0x3F)));
}

class Replay {
  public:
    Replay() {
        if (!PyDateTimeAPI) PyDateTime_IMPORT;
        results_ = check(PyImport_ImportModule("korvo.results"));
        unknown_ = check(PyList_New(0));
    }

    // One record line, checksum already checked.
    void apply(std::string_view line) {
        p_ = line.data();
        end_ = line.data() + line.size();
        expect('[');
        while (peek() != '"') {
            operation();
            expect(',');
        }
    }

    nb::object result(bool closed, nb::object damage) {
        nb::object out = check(PyDict_New());
        nb::object open = check(PyList_New(0));
        for (size_t i = 0; i < nodes_.size(); ++i)
            if (open_[i]) check_status(PyList_Append(open.ptr(), nodes_[i].ptr()));
        set(out, "root", nodes_.empty() ? Py_None : nodes_[0].ptr());
        set(out, "nodes", check(PyLong_FromSize_t(nodes_.size())).ptr());
        set(out, "open", open.ptr());
        set(out, "unknown", unknown_.ptr());
        set(out, "damage", damage.ptr());
        set(out, "closed", closed ? Py_True : Py_False);
        return out;
    }

  private:
    static void set(nb::object& dict, const char* key, PyObject* value) {
        check_status(PyDict_SetItemString(dict.ptr(), key, value));
    }

    char peek() const {
        if (p_ >= end_) throw Malformed("record ends early");
        return *p_;
    }
    void expect(char c) {
        if (peek() != c) throw Malformed(std::string("expected '") + c + "'");
        ++p_;
    }
    void expect(const char* text) {
        size_t n = std::strlen(text);
        if (size_t(end_ - p_) < n || std::memcmp(p_, text, n) != 0)
            throw Malformed(std::string("expected ") + text);
        p_ += n;
    }
    bool accept(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    // The unescaped UTF-8 bytes of a JSON string (surrogates encoded as such).
    std::string_view raw_text(std::string& scratch) {
        expect('"');
        const char* start = p_;
        while (p_ < end_ && *p_ != '"' && *p_ != '\\')
            ++p_;
        if (p_ >= end_) throw Malformed("string ends early");
        if (*p_ == '"') return std::string_view(start, size_t(p_++ - start));
        scratch.assign(start, size_t(p_ - start));
        while (true) {
            if (p_ >= end_) throw Malformed("string ends early");
            char c = *p_++;
            if (c == '"') return scratch;
            if (c != '\\') {
                scratch.push_back(c);
                continue;
            }
            if (p_ >= end_) throw Malformed("string ends early");
            switch (char e = *p_++) {
            case 'n':
                scratch.push_back('\n');
                break;
            case 't':
                scratch.push_back('\t');
                break;
            case 'r':
                scratch.push_back('\r');
                break;
            case 'b':
                scratch.push_back('\b');
                break;
            case 'f':
                scratch.push_back('\f');
                break;
            case 'u': {
                if (end_ - p_ < 4) throw Malformed("bad escape");
                uint32_t c4 = 0;
                for (int i = 0; i < 4; ++i) {
                    int d = hex_digit(p_[i]);
                    if (d < 0 && p_[i] >= 'A' && p_[i] <= 'F') d = p_[i] - 'A' + 10;
                    if (d < 0) throw Malformed("bad escape");
                    c4 = c4 << 4 | uint32_t(d);
                }
                p_ += 4;
                append_utf8(scratch, c4);
                break;
            }
            default:
                scratch.push_back(e);
            }
        }
    }

    static nb::object to_str(std::string_view bytes) {
        return check(PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "surrogatepass"));
    }

    nb::object text() {
        std::string scratch;
        return to_str(raw_text(scratch));
    }

    // Attribute names repeat on every record; each is decoded and interned once.
    nb::object name() {
        std::string scratch;
        std::string_view raw = raw_text(scratch);
        auto found = names_.find(std::string(raw));
        if (found != names_.end()) return found->second;
        nb::object s = to_str(raw);
        PyObject* interned_name = s.release().ptr();
        PyUnicode_InternInPlace(&interned_name);
        nb::object out = nb::steal(interned_name);
        names_.emplace(std::string(raw), out);
        return out;
    }

    long long integer() {
        bool negative = accept('-');
        if (p_ >= end_ || *p_ < '0' || *p_ > '9') throw Malformed("expected a number");
        long long n = 0;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
            n = n * 10 + (*p_++ - '0');
            if (n > (1LL << 53)) throw Malformed("number too large");
        }
        return negative ? -n : n;
    }

    nb::object number() {
        const char* start = p_;
        bool real = false;
        while (p_ < end_ && std::strchr("-+0123456789.eE", *p_)) {
            if (*p_ == '.' || *p_ == 'e' || *p_ == 'E') real = true;
            ++p_;
        }
        std::string digits(start, size_t(p_ - start));
        if (digits.empty()) throw Malformed("unexpected character");
        if (real) {
            char* stop = nullptr;
            double d = PyOS_string_to_double(digits.c_str(), &stop, nullptr);
            if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
            if (*stop) throw Malformed("bad number");
            return check(PyFloat_FromDouble(d));
        }
        if (digits.size() <= 18) {
            char* stop = nullptr;
            long long n = std::strtoll(digits.c_str(), &stop, 10);
            if (*stop) throw Malformed("bad number");
            return check(PyLong_FromLongLong(n));
        }
        return check(PyLong_FromString(digits.c_str(), nullptr, 10));
    }

    nb::object numbered(nb::object obj) {
        objects_.push_back(obj);
        return obj;
    }

    nb::object value() {
        switch (peek()) {
        case '"':
            return text();
        case '[': {
            nb::object list = numbered(check(PyList_New(0)));
            fill_list(list.ptr());
            return list;
        }
        case '{':
            return object();
        case 'n':
            expect("null");
            return nb::none();
        case 't':
            expect("true");
            return nb::borrow(Py_True);
        case 'f':
            expect("false");
            return nb::borrow(Py_False);
        default:
            return number();
        }
    }

    void fill_list(PyObject* list) {
        expect('[');
        if (accept(']')) return;
        do {
            nb::object item = value();
            check_status(PyList_Append(list, item.ptr()));
        } while (accept(','));
        expect(']');
    }

    // An array that stands for no object of its own (a tuple's items, exception arguments).
    nb::object items() {
        nb::object list = check(PyList_New(0));
        fill_list(list.ptr());
        return list;
    }

    void fill_pairs(PyObject* target) {
        expect('[');
        if (accept(']')) return;
        do {
            expect('[');
            nb::object key = value();
            expect(',');
            nb::object item = value();
            expect(']');
            check_status(PyObject_SetItem(target, key.ptr(), item.ptr()));
        } while (accept(','));
        expect(']');
    }

    // {"k":v,...} or {"$m":[[k,v],...]} into `target`.
    void fill_dict(PyObject* target) {
        expect('{');
        if (accept('}')) return;
        std::string scratch;
        std::string_view key = raw_text(scratch);
        expect(':');
        if (key == "$m") {
            fill_pairs(target);
            expect('}');
            return;
        }
        nb::object k = to_str(key);
        nb::object v = value();
        check_status(PyObject_SetItem(target, k.ptr(), v.ptr()));
        while (accept(',')) {
            nb::object k2 = text();
            expect(':');
            nb::object v2 = value();
            check_status(PyObject_SetItem(target, k2.ptr(), v2.ptr()));
        }
        expect('}');
    }

    void fill_counter(PyObject* counter) {
        fill_pairs(counter);
        if (accept(',')) {
            expect("\"w\":");
            nb::object weight = value();
            set_attr(counter, interned.weight, weight.ptr());
        }
    }

    nb::object object() {
        expect('{');
        if (accept('}')) return numbered(check(PyDict_New()));
        std::string scratch;
        std::string_view key = raw_text(scratch);
        expect(':');
        if (!key.empty() && key[0] == '$') {
            nb::object out = tagged(std::string(key));
            expect('}');
            return out;
        }
        nb::object dict = numbered(check(PyDict_New()));
        nb::object k = to_str(key);
        nb::object v = value();
        check_status(PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()));
        while (accept(',')) {
            nb::object k2 = text();
            expect(':');
            nb::object v2 = value();
            check_status(PyDict_SetItem(dict.ptr(), k2.ptr(), v2.ptr()));
        }
        expect('}');
        return dict;
    }

    nb::object object_at(long long n) {
        if (n < 0 || size_t(n) >= objects_.size())
            throw Malformed("reference to an unknown object");
        return objects_[size_t(n)];
    }

    nb::object tagged(const std::string& tag) {
        if (tag == "$r") return object_at(integer());
        if (tag == "$u") {
            nb::object target = object_at(integer());
            expect(",\"v\":");
            refill(target.ptr());
            return target;
        }
        if (tag == "$n") {
            long long n = integer();
            if (n < 0 || size_t(n) >= nodes_.size())
                throw Malformed("reference to an unknown node");
            return nodes_[size_t(n)];
        }
        if (tag == "$k") return get_attr(results_.ptr(), text().ptr());
        if (tag == "$t") {
            nb::object named = get_attr(results_.ptr(), text().ptr());
            nb::object made =
                check(PyObject_CallMethodObjArgs(named.ptr(), interned.clone, nullptr));
            while (accept(',')) {
                std::string scratch;
                std::string_view field = raw_text(scratch);
                expect(':');
                nb::object v = value();
                set_attr(made.ptr(), field == "r" ? interned.reason : interned.data, v.ptr());
            }
            return made;
        }
        if (tag == "$c") {
            nb::object counter =
                check(PyObject_CallNoArgs(module_global(interned.ResultCounter).ptr()));
            fill_counter(counter.ptr());
            return counter;
        }
        if (tag == "$a") {
            nb::object mapping =
                numbered(check(PyObject_CallNoArgs(module_global(interned.AttrDict).ptr())));
            fill_dict(mapping.ptr());
            return mapping;
        }
        if (tag == "$m") {
            nb::object dict = numbered(check(PyDict_New()));
            fill_pairs(dict.ptr());
            return dict;
        }
        if (tag == "$tu") return check(PyList_AsTuple(items().ptr()));
        if (tag == "$b") return bytes_value();
        if (tag == "$i") {
            std::string scratch;
            std::string digits(raw_text(scratch));
            return check(PyLong_FromString(digits.c_str(), nullptr, 0));
        }
        if (tag == "$f") {
            std::string scratch;
            std::string word(raw_text(scratch));
            double d = word == "nan" ? Py_NAN : word == "inf" ? Py_HUGE_VAL : -Py_HUGE_VAL;
            return check(PyFloat_FromDouble(d));
        }
        if (tag == "$D" || tag == "$T") return date_value(tag == "$T");
        if (tag == "$e") return exception_value();
        if (tag == "$?") {
            nb::object repr = text();
            nb::object place = check(Py_BuildValue("(OOO)", nodes_[current_node_].ptr(),
                                                   current_attr_.ptr(), repr.ptr()));
            check_status(PyList_Append(unknown_.ptr(), place.ptr()));
            return repr;
        }
        throw Malformed("unknown value tag " + tag);
    }

    // New contents for an object that changed in place, in its own value form.
    void refill(PyObject* target) {
        if (PyList_CheckExact(target)) {
            check_status(PyList_SetSlice(target, 0, PyList_GET_SIZE(target), nullptr));
            return fill_list(target);
        }
        if (PyDict_CheckExact(target)) {
            PyDict_Clear(target);
            return fill_dict(target);
        }
        expect('{');
        std::string scratch;
        std::string tag(raw_text(scratch));
        expect(':');
        if (tag == "$a" && PyDict_Check(target)) {
            PyDict_Clear(target);
            fill_dict(target);
        } else {
            throw Malformed("object changed its kind");
        }
        expect('}');
    }

    nb::object bytes_value() {
        std::string scratch;
        std::string_view hex = raw_text(scratch);
        if (hex.size() % 2) throw Malformed("bad bytes");
        std::string raw(hex.size() / 2, '\0');
        for (size_t i = 0; i < raw.size(); ++i) {
            int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
            if (hi < 0 || lo < 0) throw Malformed("bad bytes");
            raw[i] = char(hi << 4 | lo);
        }
        return check(PyBytes_FromStringAndSize(raw.data(), Py_ssize_t(raw.size())));
    }

    static int digits_at(std::string_view s, size_t at, size_t n) {
        if (at + n > s.size()) throw Malformed("bad date");
        int v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (s[i] < '0' || s[i] > '9') throw Malformed("bad date");
            v = v * 10 + (s[i] - '0');
        }
        return v;
    }

    // "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]"
    nb::object date_value(bool with_time) {
        std::string scratch;
        std::string_view s = raw_text(scratch);
        int year = digits_at(s, 0, 4), month = digits_at(s, 5, 2), day = digits_at(s, 8, 2);
        if (!with_time) return check(PyDate_FromDate(year, month, day));
        int hour = digits_at(s, 11, 2), minute = digits_at(s, 14, 2), second = digits_at(s, 17, 2);
        size_t at = 19;
        int micro = 0;
        if (at < s.size() && s[at] == '.') {
            micro = digits_at(s, at + 1, 6);
            at += 7;
        }
        int fold = 0;
        if (peek() == ',') {
            expect(",\"f\":1");
            fold = 1;
        }
        if (at == s.size())
            return check(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
                year, month, day, hour, minute, second, micro, Py_None, fold,
                PyDateTimeAPI->DateTimeType));
        int sign = s[at] == '-' ? -1 : 1;
        long long offset =
            (digits_at(s, at + 1, 2) * 3600LL + digits_at(s, at + 4, 2) * 60LL) * 1000000LL;
        at += 6;
        if (at < s.size() && s[at] == ':') {
            offset += digits_at(s, at + 1, 2) * 1000000LL;
            at += 3;
            if (at < s.size() && s[at] == '.') {
                offset += digits_at(s, at + 1, 6);
                at += 7;
            }
        }
        offset *= sign;
        auto found = zones_.find(offset);
        if (found == zones_.end()) {
            long long days = offset < 0 ? -1 : 0;
            long long rest = offset - days * 86400000000LL;
            nb::object delta =
                check(PyDelta_FromDSU(int(days), int(rest / 1000000), int(rest % 1000000)));
            found = zones_.emplace(offset, check(PyTimeZone_FromOffset(delta.ptr()))).first;
        }
        return check(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            year, month, day, hour, minute, second, micro, found->second.ptr(), fold,
            PyDateTimeAPI->DateTimeType));
    }

    // The class is imported by its module path; one that cannot be found or made is kept
    // as text, like any value of an unknown type.
    nb::object exception_value() {
        nb::object path = text();
        expect(",\"a\":");
        nb::object args = check(PyList_AsTuple(items().ptr()));
        try {
            nb::object dot = check(PyUnicode_FromString("."));
            nb::object parts = check(PyUnicode_RSplit(path.ptr(), dot.ptr(), 1));
            if (PyList_GET_SIZE(parts.ptr()) != 2) raise(PyExc_ValueError, "no module");
            nb::object module = check(PyImport_Import(PyList_GET_ITEM(parts.ptr(), 0)));
            nb::object cls = get_attr(module.ptr(), PyList_GET_ITEM(parts.ptr(), 1));
            if (!PyExceptionClass_Check(cls.ptr()))
                raise(PyExc_TypeError, "not an exception class");
            return check(PyObject_Call(cls.ptr(), args.ptr(), nullptr));
        } catch (nb::python_error&) {
            nb::object text_form = check(PyUnicode_FromFormat("%U%R", path.ptr(), args.ptr()));
            nb::object place = check(Py_BuildValue("(OOO)", nodes_[current_node_].ptr(),
                                                   current_attr_.ptr(), text_form.ptr()));
            check_status(PyList_Append(unknown_.ptr(), place.ptr()));
            return text_form;
        }
    }

    size_t node_index() {
        long long n = integer();
        if (n < 0 || size_t(n) >= nodes_.size()) throw Malformed("reference to an unknown node");
        return size_t(n);
    }

    void operation() {
        expect('[');
        std::string scratch;
        std::string op(raw_text(scratch));
        if (op == "+") {
            add_node();
        } else if (op == "=") {
            expect(',');
            current_node_ = node_index();
            PyObject* node = nodes_[current_node_].ptr();
            while (accept(',')) {
                current_attr_ = name();
                expect(',');
                nb::object v = value();
                set_attr(node, current_attr_.ptr(), v.ptr());
                if (current_attr_.ptr() == interned.starttime && !v.is_none())
                    open_[current_node_] = 1;
            }
        } else if (op == "-") {
            expect(',');
            size_t n = node_index();
            expect(',');
            nb::object attr = name();
            if (PyObject_DelAttr(nodes_[n].ptr(), attr.ptr()) < 0) PyErr_Clear();
        } else if (op == "s") {
            expect(',');
            open_[node_index()] = 0;
        } else if (op == "end") {
            closed_ = true;
        } else {
            throw Malformed("unknown operation " + op);
        }
        expect(']');
    }

    void add_node() {
        expect(',');
        if (size_t(integer()) != nodes_.size()) throw Malformed("nodes out of order");
        expect(',');
        nb::object parent;
        if (!accept('n')) {
            parent = nodes_[node_index()];
        } else {
            expect("ull");
        }
        expect(',');
        nb::object list_name = peek() == 'n' ? value() : name();
        expect(',');
        nb::object cls_name = name();
        static const char* const known[] = {"Campaign", "Task", "Section", "Plugin",
                                            "ReportObjectBase"};
        bool ok = false;
        for (const char* k : known)
            ok = ok || PyUnicode_CompareWithASCIIString(cls_name.ptr(), k) == 0;
        if (!ok) throw Malformed("unknown node class");
        current_node_ = nodes_.empty() ? 0 : nodes_.size() - 1;
        expect(',');
        nb::object id = value();
        expect(',');
        nb::object seq_num = value();
        expect(',');
        nb::object type = value();
        nb::object kwargs = check(PyDict_New());
        check_status(PyDict_SetItem(kwargs.ptr(), interned.id, id.ptr()));
        check_status(PyDict_SetItem(kwargs.ptr(), interned.seq_num, seq_num.ptr()));
        if (parent) check_status(PyDict_SetItem(kwargs.ptr(), interned.parent, parent.ptr()));
        if (!type.is_none()) check_status(PyDict_SetItem(kwargs.ptr(), interned.type, type.ptr()));
        nb::object cls = module_global(cls_name.ptr());
        nb::object empty = check(PyTuple_New(0));
        nb::object node = check(PyObject_Call(cls.ptr(), empty.ptr(), kwargs.ptr()));
        if (parent && !list_name.is_none()) {
            nb::object children = get_attr(parent.ptr(), list_name.ptr());
            if (PyList_CheckExact(children.ptr()))
                check_status(PyList_Append(children.ptr(), node.ptr()));
            else
                check(PyObject_CallMethodObjArgs(children.ptr(), interned.append, node.ptr(),
                                                 nullptr));
        }
        nodes_.push_back(node);
        open_.push_back(0);
    }

  public:
    bool closed_ = false;

  private:
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    nb::object results_;
    nb::object unknown_;
    std::vector<nb::object> nodes_;
    std::vector<char> open_;
    std::vector<nb::object> objects_;
    std::unordered_map<std::string, nb::object> names_;
    std::unordered_map<long long, nb::object> zones_;
    size_t current_node_ = 0;
    nb::object current_attr_ = nb::none();
};

nb::object damage_at(size_t line_number, size_t offset, const std::string& what) {
    return check(Py_BuildValue("(nns)", Py_ssize_t(line_number), Py_ssize_t(offset), what.c_str()));
}

} // namespace

nb::object replay_journal(PyObject* path) {
    std::string data = read_file(path);
    size_t header_end = data.find('\n');
    std::string_view header(data.data(), header_end == std::string::npos ? 0 : header_end);
    uint32_t chain = 0;
    if (header.substr(0, sizeof kHeaderStart - 1) != kHeaderStart ||
        !checksum_holds(header, '}', chain)) {
        PyErr_Format(PyExc_ValueError, "not a korvo-reporter journal (no valid header line): %R",
                     path);
        throw nb::python_error();
    }
    long long version = std::atoll(header.data() + sizeof kHeaderStart - 1);
    if (version != kFormatVersion) {
        PyErr_Format(PyExc_ValueError, "journal format version %lld is not supported: %R", version,
                     path);
        throw nb::python_error();
    }
    // Replay makes the whole tree at once; nothing it makes is garbage before it ends.
    GcPause pause;
    Replay replay;
    nb::object damage = nb::none();
    size_t pos = header_end + 1, line_number = 1;
    while (pos < data.size()) {
        ++line_number;
        size_t nl = data.find('\n', pos);
        if (nl == std::string::npos) break; // torn: the writer died inside this line
        std::string_view line(data.data() + pos, nl - pos);
        if (!checksum_holds(line, ']', chain)) {
            if (nl + 1 < data.size()) damage = damage_at(line_number, pos, "checksum mismatch");
            break; // a bad last line is a torn one
        }
        try {
            replay.apply(line);
        } catch (Malformed& e) {
            damage = damage_at(line_number, pos, e.what());
            break;
        } catch (nb::python_error& e) {
            nb::object text = check(PyObject_Str(e.value().ptr()));
            const char* s = PyUnicode_AsUTF8(text.ptr());
            damage = damage_at(line_number, pos, s ? s : "record cannot be applied");
            break;
        }
        pos = nl + 1;
    }
    return replay.result(replay.closed_, damage);
}

} // namespace korvo::campaign::journal
