#include "campaign/load/yaml_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "campaign/load/datetime_parse.hpp"
#include "common/signal_poll.hpp"

namespace korvo::campaign::load {

namespace {

// Thrown wherever the text leaves the form our writer gives.
struct GiveUp {};

bool is_one_of(char c, const char* set) {
    return c != '\0' && std::strchr(set, c) != nullptr;
}

class Reader {
  public:
    Reader(const char* data, size_t n, PyObject* resolve) : s_(data), n_(n), resolve_(resolve) {}

    nb::object document() {
        // Our writer gives printable ASCII and line breaks only; the rest is escaped.
        for (size_t i = 0; i < n_; ++i) {
            unsigned char c = (unsigned char)s_[i];
            if ((c < 0x20 && c != '\n') || c >= 0x7f) throw GiveUp();
        }
        if (n_ == 0 || s_[n_ - 1] != '\n') throw GiveUp();
        nb::object doc = block_mapping(0, false);
        skip_blank_lines();
        if (pos_ != n_) throw GiveUp();
        return doc;
    }

  private:
    const char* s_;
    size_t n_;
    size_t pos_ = 0;
    PyObject* resolve_;
    std::unordered_map<std::string, nb::object> texts_; // short plain texts, shared
    SignalPoll signals_;

    char at(size_t p) const { return p < n_ ? s_[p] : '\0'; }

    size_t spaces_from(size_t p) const {
        size_t q = p;
        while (q < n_ && s_[q] == ' ')
            ++q;
        return q - p;
    }

    void skip_blank_lines() {
        while (pos_ < n_) {
            size_t q = pos_ + spaces_from(pos_);
            if (q < n_ && s_[q] == '\n') {
                pos_ = q + 1;
                continue;
            }
            break;
        }
    }

    void end_of_line() {
        if (at(pos_) != '\n') throw GiveUp();
        ++pos_;
    }

    bool entry_mark(size_t p) const {
        return at(p) == '-' && (at(p + 1) == ' ' || at(p + 1) == '\n');
    }

    // --- structure -------------------------------------------------------------------

    // Moves past the indentation of the block's next line at column `col`; false where the
    // block ends (end of text or a line indented less).
    bool next_line_at(size_t col) {
        skip_blank_lines();
        if (pos_ >= n_) return false;
        size_t ind = spaces_from(pos_);
        if (ind < col) return false;
        if (ind > col) throw GiveUp();
        pos_ += ind;
        return true;
    }

    // Keys at column `col`; with `inline_first` the first key starts at pos_ (after "- ").
    nb::object block_mapping(size_t col, bool inline_first) {
        RecursionGuard guard(" while reading YAML");
        nb::object out = check(PyDict_New());
        bool first = true;
        while (true) {
            if (!(first && inline_first)) {
                if (!next_line_at(col)) break;
                if (entry_mark(pos_)) throw GiveUp();
            }
            first = false;
            signals_.step();
            nb::object key = key_scalar();
            if (at(pos_) != ':') throw GiveUp();
            ++pos_;
            nb::object value;
            if (at(pos_) == '\n') {
                ++pos_;
                value = block_below(col);
            } else if (at(pos_) == ' ') {
                ++pos_;
                value = inline_value(col);
            } else {
                throw GiveUp();
            }
            check_status(PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()));
        }
        return out;
    }

    // A collection on the lines below a key at column `col`.
    nb::object block_below(size_t col) {
        skip_blank_lines();
        if (pos_ >= n_) throw GiveUp();
        size_t ind = spaces_from(pos_);
        if (ind <= col) throw GiveUp();
        if (entry_mark(pos_ + ind)) return block_sequence(ind, false);
        return block_mapping(ind, false);
    }

    nb::object block_sequence(size_t col, bool inline_first) {
        RecursionGuard guard(" while reading YAML");
        nb::object out = check(PyList_New(0));
        bool first = true;
        while (true) {
            if (!(first && inline_first) && !next_line_at(col)) break;
            first = false;
            if (at(pos_) != '-' || at(pos_ + 1) != ' ') throw GiveUp();
            pos_ += 2;
            nb::object item = sequence_item(col);
            check_status(PyList_Append(out.ptr(), item.ptr()));
        }
        return out;
    }

    nb::object sequence_item(size_t dash_col) {
        size_t col = dash_col + 2;
        if (entry_mark(pos_)) return block_sequence(col, true);
        if (looks_like_key()) return block_mapping(col, true);
        return inline_value(dash_col);
    }

    // Whether a simple key (a one-line scalar then ": " or ":" at the line's end) starts here.
    bool looks_like_key() const {
        size_t p = pos_;
        char c = at(p);
        if (c == '\'' || c == '"') {
            for (++p; p < n_ && s_[p] != '\n'; ++p) {
                if (c == '"' && s_[p] == '\\') {
                    ++p;
                    continue;
                }
                if (s_[p] == c) {
                    if (c == '\'' && at(p + 1) == '\'') {
                        ++p;
                        continue;
                    }
                    ++p;
                    return at(p) == ':' && (at(p + 1) == ' ' || at(p + 1) == '\n');
                }
            }
            return false;
        }
        if (is_one_of(c, "[{|>!&*?%@`#,]}")) return false;
        for (; p < n_ && s_[p] != '\n'; ++p)
            if (s_[p] == ':' && (at(p + 1) == ' ' || at(p + 1) == '\n')) return true;
        return false;
    }

    // --- scalars ---------------------------------------------------------------------

    // Our writers never give anchors or aliases, and an alias makes one node of the text
    // many (a few hundred bytes can stand for billions of values, or put one mapping in
    // two places of the tree): refused wherever a node may start.
    void refuse_anchor(char c) const {
        if (c != '&' && c != '*') return;
        long line = 1 + long(std::count(s_, s_ + pos_, '\n'));
        PyErr_Format(PyExc_ValueError, "YAML %s at line %ld: anchors and aliases are not read",
                     c == '&' ? "anchor" : "alias", line);
        throw nb::python_error();
    }

    nb::object key_scalar() {
        char c = at(pos_);
        refuse_anchor(c);
        if (c == '\'') return text(single_quoted(0, false));
        if (c == '"') return double_quoted(0, false);
        if (is_one_of(c, "[]{}|>!&*?%@`#,'\"") || c == ' ' || c == '\n' ||
            (is_one_of(c, "-:") && (at(pos_ + 1) == ' ' || at(pos_ + 1) == '\n')))
            throw GiveUp();
        size_t start = pos_;
        while (pos_ < n_ && s_[pos_] != '\n' &&
               !(s_[pos_] == ':' && (at(pos_ + 1) == ' ' || at(pos_ + 1) == '\n'))) {
            if (s_[pos_] == '#' && s_[pos_ - 1] == ' ') throw GiveUp();
            ++pos_;
        }
        if (pos_ == start || s_[pos_ - 1] == ' ') throw GiveUp();
        return plain_value(s_ + start, pos_ - start);
    }

    // A value that starts on the current line, inside a collection at column `col`.
    nb::object inline_value(size_t col) {
        char c = at(pos_);
        refuse_anchor(c);
        switch (c) {
        case '|':
            return literal(col);
        case '[':
            if (at(pos_ + 1) != ']') throw GiveUp();
            pos_ += 2;
            end_of_line();
            return check(PyList_New(0));
        case '{':
            if (at(pos_ + 1) != '}') throw GiveUp();
            pos_ += 2;
            end_of_line();
            return check(PyDict_New());
        case '\'': {
            nb::object out = text(single_quoted(col, true));
            end_of_line();
            return out;
        }
        case '"': {
            nb::object out = double_quoted(col, true);
            end_of_line();
            return out;
        }
        case '!':
            return tagged();
        default:
            break;
        }
        if (is_one_of(c, ">&*?%@`#,]}") || c == ' ' || c == '\n' ||
            (is_one_of(c, "-:") && (at(pos_ + 1) == ' ' || at(pos_ + 1) == '\n')))
            throw GiveUp();
        return plain(col);
    }

    // One line of a plain scalar from pos_ to the line's end.
    std::pair<size_t, size_t> plain_line() {
        size_t start = pos_;
        while (pos_ < n_ && s_[pos_] != '\n') {
            char c = s_[pos_];
            if (c == ':' && (at(pos_ + 1) == ' ' || at(pos_ + 1) == '\n')) throw GiveUp();
            if (c == '#' && pos_ > start && s_[pos_ - 1] == ' ') throw GiveUp();
            ++pos_;
        }
        if (pos_ == start || s_[pos_ - 1] == ' ') throw GiveUp();
        return {start, pos_};
    }

    nb::object plain(size_t col) {
        auto [start, end] = plain_line();
        end_of_line();
        // Long texts are folded at blanks onto lines indented past the collection.
        std::string joined;
        while (pos_ < n_) {
            size_t ind = spaces_from(pos_);
            char c = at(pos_ + ind);
            if (ind <= col || c == '\n') break;
            if (is_one_of(c, "-?:#")) throw GiveUp();
            if (joined.empty()) joined.assign(s_ + start, end - start);
            pos_ += ind;
            auto [from, to] = plain_line();
            end_of_line();
            joined += ' ';
            joined.append(s_ + from, to - from);
        }
        if (joined.empty()) return plain_value(s_ + start, end - start);
        return plain_value(joined.data(), joined.size());
    }

    // Folding of quoted scalars: blanks before a line break go, one break reads as a
    // blank, n breaks as n-1 line breaks; the next line's indentation goes too.
    void fold(std::u32string& out, size_t& blank_run, size_t col, bool multiline) {
        if (!multiline) throw GiveUp();
        out.resize(blank_run);
        size_t breaks = 0;
        while (at(pos_) == '\n') {
            ++breaks;
            ++pos_;
            size_t ind = spaces_from(pos_);
            pos_ += ind;
            if (at(pos_) != '\n' && ind <= col) throw GiveUp();
        }
        if (breaks == 1)
            out += U' ';
        else
            out.append(breaks - 1, U'\n');
        blank_run = out.size();
    }

    std::u32string single_quoted(size_t col, bool multiline) {
        std::u32string out;
        size_t blank_run = 0;
        ++pos_;
        while (true) {
            if (pos_ >= n_) throw GiveUp();
            char c = s_[pos_];
            if (c == '\'') {
                if (at(pos_ + 1) != '\'') {
                    ++pos_;
                    break;
                }
                out += U'\'';
                pos_ += 2;
                blank_run = out.size();
            } else if (c == '\n') {
                fold(out, blank_run, col, multiline);
            } else {
                out += (char32_t)c;
                ++pos_;
                if (c != ' ') blank_run = out.size();
            }
        }
        return out;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    nb::object double_quoted(size_t col, bool multiline) {
        std::u32string out;
        size_t blank_run = 0;
        ++pos_;
        while (true) {
            if (pos_ >= n_) throw GiveUp();
            char c = s_[pos_];
            if (c == '"') {
                ++pos_;
                break;
            }
            if (c == '\n') {
                fold(out, blank_run, col, multiline);
                continue;
            }
            if (c != '\\') {
                out += (char32_t)c;
                ++pos_;
                if (c != ' ') blank_run = out.size();
                continue;
            }
            char e = at(pos_ + 1);
            pos_ += 2;
            char32_t ch;
            switch (e) {
            case '0':
                ch = 0;
                break;
            case 'a':
                ch = 7;
                break;
            case 'b':
                ch = 8;
                break;
            case 't':
                ch = 9;
                break;
            case 'n':
                ch = 10;
                break;
            case 'v':
                ch = 11;
                break;
            case 'f':
                ch = 12;
                break;
            case 'r':
                ch = 13;
                break;
            case 'e':
                ch = 27;
                break;
            case ' ':
                ch = ' ';
                break;
            case '"':
                ch = '"';
                break;
            case '\\':
                ch = '\\';
                break;
            case '/':
                ch = '/';
                break;
            case 'N':
                ch = 0x85;
                break;
            case '_':
                ch = 0xA0;
                break;
            case 'L':
                ch = 0x2028;
                break;
            case 'P':
                ch = 0x2029;
                break;
            case 'x':
            case 'u':
            case 'U': {
                int len = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                unsigned long code = 0;
                for (int i = 0; i < len; ++i) {
                    int d = hex_digit(at(pos_ + i));
                    if (d < 0) throw GiveUp();
                    code = code * 16 + (unsigned long)d;
                }
                if (code > 0x10FFFF) throw GiveUp();
                pos_ += (size_t)len;
                ch = (char32_t)code;
                break;
            }
            case '\n': {
                // An escaped line break joins the lines; empty lines after it are breaks.
                if (!multiline) throw GiveUp();
                while (true) {
                    size_t ind = spaces_from(pos_);
                    if (at(pos_ + ind) == '\n') {
                        out += U'\n';
                        pos_ += ind + 1;
                        continue;
                    }
                    if (ind <= col) throw GiveUp();
                    pos_ += ind;
                    break;
                }
                blank_run = out.size();
                continue;
            }
            default:
                throw GiveUp();
            }
            out += ch;
            blank_run = out.size();
        }
        return text(out);
    }

    static nb::object text(const std::u32string& t) {
        return check(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.data(), (Py_ssize_t)t.size()));
    }

    nb::object literal(size_t col) {
        ++pos_;
        int indicator = 0;
        char chomp = ' ';
        for (int i = 0; i < 2; ++i) {
            char c = at(pos_);
            if (c >= '1' && c <= '9' && !indicator) {
                indicator = c - '0';
                ++pos_;
            } else if ((c == '-' || c == '+') && chomp == ' ') {
                chomp = c;
                ++pos_;
            }
        }
        end_of_line();
        size_t indent;
        if (indicator) {
            indent = col + (size_t)indicator;
        } else {
            size_t p = pos_, widest_blank = 0;
            while (p < n_) {
                size_t ind = spaces_from(p);
                if (at(p + ind) != '\n') break;
                if (ind > widest_blank) widest_blank = ind;
                p += ind + 1;
            }
            indent = spaces_from(p);
            if (p >= n_ || indent <= col || widest_blank > indent) throw GiveUp();
        }
        std::string body;
        size_t lines = 0, last_content = 0; // last_content: lines up to the last non-empty one
        while (pos_ < n_) {
            size_t ind = spaces_from(pos_);
            char c = at(pos_ + ind);
            if (c == '\n' && ind <= indent) {
                if (lines) body += '\n';
                ++lines;
                pos_ += ind + 1;
                continue;
            }
            if (ind < indent) break;
            size_t start = pos_ + indent, end = start;
            while (end < n_ && s_[end] != '\n')
                ++end;
            if (lines) body += '\n';
            body.append(s_ + start, end - start);
            ++lines;
            last_content = lines;
            pos_ = end;
            end_of_line();
        }
        // body holds every line joined; cut it to the content lines and chomp.
        size_t trailing = lines - last_content;
        if (last_content) body.resize(body.size() - trailing);
        std::string value;
        if (last_content == 0) {
            value = chomp == '+' ? std::string(lines, '\n') : std::string();
        } else if (chomp == '-') {
            value = body;
        } else if (chomp == '+') {
            value = body + std::string(trailing + 1, '\n');
        } else {
            value = body + "\n";
        }
        return check(PyUnicode_FromStringAndSize(value.data(), (Py_ssize_t)value.size()));
    }

    // "!!tag value": only the YAML 1.1 core tags, decided by the resolver callback.
    nb::object tagged() {
        if (at(pos_ + 1) != '!') throw GiveUp();
        size_t start = pos_ + 2;
        size_t p = start;
        while (p < n_ && ((s_[p] >= 'a' && s_[p] <= 'z') || (s_[p] >= 'A' && s_[p] <= 'Z')))
            ++p;
        if (p == start || at(p) != ' ') throw GiveUp();
        std::string tag = "tag:yaml.org,2002:" + std::string(s_ + start, p - start);
        pos_ = p + 1;
        nb::object body;
        char c = at(pos_);
        if (c == '\'')
            body = text(single_quoted(0, false));
        else if (c == '"')
            body = double_quoted(0, false);
        else
            throw GiveUp();
        end_of_line();
        // Offsets with seconds are written tagged; PyYAML's own constructor cannot read them.
        if (tag == "tag:yaml.org,2002:timestamp" && PyUnicode_IS_ASCII(body.ptr())) {
            nb::object when = parse_datetime_text((const char*)PyUnicode_DATA(body.ptr()),
                                                  (size_t)PyUnicode_GET_LENGTH(body.ptr()));
            if (when) return when;
        }
        nb::object tag_text =
            check(PyUnicode_FromStringAndSize(tag.data(), (Py_ssize_t)tag.size()));
        return delegate(body.ptr(), tag_text.ptr());
    }

    nb::object delegate(PyObject* body, PyObject* tag) {
        nb::object out = check(PyObject_CallFunctionObjArgs(resolve_, body, tag, nullptr));
        if (out.ptr() == Py_NotImplemented) throw GiveUp();
        return out;
    }

    // --- plain scalar resolution (YAML 1.1, as the safe loader resolves) -----------------

    nb::object plain_value(const char* p, size_t len) {
        char c = p[0];
        if (!is_one_of(c, "yYnNtTfFoO-+0123456789.<~=")) return short_text(p, len);
        std::string word(p, len);
        if (is_one_of(c, "yYnNtTfFoO")) {
            static const char* const yes[] = {"yes",  "Yes", "YES", "true", "True",
                                              "TRUE", "on",  "On",  "ON"};
            static const char* const no[] = {"no",    "No",  "NO",  "false", "False",
                                             "FALSE", "off", "Off", "OFF"};
            for (const char* w : yes)
                if (word == w) return nb::borrow(Py_True);
            for (const char* w : no)
                if (word == w) return nb::borrow(Py_False);
            if (word == "null" || word == "Null" || word == "NULL") return nb::none();
            return short_text(p, len);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            size_t i = c == '-' ? 1 : 0;
            size_t digits_start = i;
            while (i < len && p[i] >= '0' && p[i] <= '9')
                ++i;
            size_t int_digits = i - digits_start;
            if (i == len && int_digits > 0 && (int_digits == 1 || p[digits_start] != '0'))
                return check(PyLong_FromString(word.c_str(), nullptr, 10));
            if (i < len && p[i] == '.' && int_digits > 0) {
                size_t j = i + 1;
                while (j < len && p[j] >= '0' && p[j] <= '9')
                    ++j;
                bool ok = j == len;
                if (!ok && (p[j] == 'e' || p[j] == 'E') && j + 2 < len &&
                    (p[j + 1] == '+' || p[j + 1] == '-')) {
                    size_t k = j + 2;
                    while (k < len && p[k] >= '0' && p[k] <= '9')
                        ++k;
                    ok = k == len;
                }
                if (ok) {
                    double d = PyOS_string_to_double(word.c_str(), nullptr, nullptr);
                    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
                    return check(PyFloat_FromDouble(d));
                }
            }
            if (c != '-' && (len == 19 || len == 26) && p[10] == ' ') {
                // naive only: an offset PyYAML's resolver does not take makes the text a str
                nb::object when = parse_datetime_text(p, len);
                if (when) return when;
            }
        }
        nb::object body = check(PyUnicode_FromStringAndSize(p, (Py_ssize_t)len));
        return delegate(body.ptr(), Py_None);
    }

    nb::object short_text(const char* p, size_t len) {
        if (len > 32) return check(PyUnicode_FromStringAndSize(p, (Py_ssize_t)len));
        std::string key(p, len);
        auto found = texts_.find(key);
        if (found != texts_.end()) return found->second;
        nb::object made = check(PyUnicode_FromStringAndSize(p, (Py_ssize_t)len));
        texts_.emplace(std::move(key), made);
        return made;
    }
};

} // namespace

nb::object read_yaml(const char* data, size_t n, PyObject* resolve) {
    Reader reader(data, n, resolve);
    try {
        return reader.document();
    } catch (const GiveUp&) {
        return nb::object();
    }
}

} // namespace korvo::campaign::load
