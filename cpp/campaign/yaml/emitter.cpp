#include "campaign/yaml/emitter.hpp"

#include <algorithm>

namespace korvo::campaign::yaml {

namespace {

template <typename C> Py_UCS4 at(const C* t, Py_ssize_t n, Py_ssize_t i) {
    return i < n ? Py_UCS4(t[i]) : kEnd;
}

// The short escapes of double-quoted scalars; 0 when the character has none.
char short_escape(Py_UCS4 ch) {
    switch (ch) {
    case 0x00:
        return '0';
    case 0x07:
        return 'a';
    case 0x08:
        return 'b';
    case 0x09:
        return 't';
    case 0x0A:
        return 'n';
    case 0x0B:
        return 'v';
    case 0x0C:
        return 'f';
    case 0x0D:
        return 'r';
    case 0x1B:
        return 'e';
    case '"':
        return '"';
    case '\\':
        return '\\';
    case 0x85:
        return 'N';
    case 0xA0:
        return '_';
    case 0x2028:
        return 'L';
    case 0x2029:
        return 'P';
    default:
        return 0;
    }
}

// Writes the escape of `ch` into buf and returns its length.
size_t escape(Py_UCS4 ch, char* buf) {
    static const char hex[] = "0123456789ABCDEF";
    if (char e = short_escape(ch)) {
        buf[0] = '\\';
        buf[1] = e;
        return 2;
    }
    int digits;
    buf[0] = '\\';
    if (ch <= 0xFF) {
        buf[1] = 'x';
        digits = 2;
    } else if (ch <= 0xFFFF) {
        buf[1] = 'u';
        digits = 4;
    } else {
        buf[1] = 'U';
        digits = 8;
    }
    for (int k = 0; k < digits; ++k)
        buf[2 + k] = hex[(ch >> (4 * (digits - 1 - k))) & 0xF];
    return size_t(2 + digits);
}

bool needs_escape(Py_UCS4 ch) {
    return ch == '"' || ch == '\\' || !(ch >= 0x20 && ch <= 0x7E);
}

} // namespace

void Emitter::increase_indent(bool flow) {
    indents_.push_back(indent_);
    if (indent_ < 0)
        indent_ = flow ? kBestIndent : 0;
    else
        indent_ += kBestIndent;
}

void Emitter::write_indicator(const char* s, size_t n, bool need_whitespace, bool whitespace,
                              bool indention) {
    if (!whitespace_ && need_whitespace) {
        out_.push_back(' ');
        ++column_;
    }
    out_.append(s, n);
    whitespace_ = whitespace;
    indention_ = indention_ && indention;
    column_ += Py_ssize_t(n);
    open_ended_ = false;
}

void Emitter::write_indent() {
    Py_ssize_t indent = indent_ < 0 ? 0 : indent_;
    if (!indention_ || column_ > indent || (column_ == indent && !whitespace_)) write_line_break();
    if (column_ < indent) {
        whitespace_ = true;
        out_.spaces(size_t(indent - column_));
        column_ = indent;
    }
}

void Emitter::write_line_break() {
    whitespace_ = true;
    indention_ = true;
    column_ = 0;
    out_.push_back('\n');
}

Emitter::Style Emitter::choose_style(const Scalar& s, const ScalarAnalysis& a, bool implicit_plain,
                                     NodeContext ctx) const {
    if (s.style == ScalarStyle::Auto && implicit_plain) {
        if (!(ctx.simple_key && (a.empty || a.multiline)) &&
            (flow_level_ ? a.allow_flow_plain : a.allow_block_plain))
            return Style::Plain;
    }
    if (s.style == ScalarStyle::Literal) {
        if (!flow_level_ && !ctx.simple_key && a.allow_block) return Style::Literal;
    } else if (a.allow_single_quoted && !(ctx.simple_key && a.multiline)) {
        return Style::Single;
    }
    return Style::Double;
}

void Emitter::scalar(const Scalar& s, const ScalarAnalysis& a, NodeContext ctx) {
    root_context_ = ctx.root;
    // Only an unstyled scalar can go plain, so only then is the read-back type needed.
    bool implicit_plain = s.style == ScalarStyle::Auto && resolve_plain(s.text) == s.tag;
    bool implicit_quoted = s.tag == Tag::Str;
    Style style = choose_style(s, a, implicit_plain, ctx);
    if (!(style == Style::Plain ? implicit_plain : implicit_quoted)) write_tag(s.tag);
    increase_indent(true);
    bool split = !ctx.simple_key;
    with_units(s.text, [&](auto* t) {
        switch (style) {
        case Style::Plain:
            write_plain(t, s.text.len, split);
            break;
        case Style::Single:
            write_single_quoted(t, s.text.len, split);
            break;
        case Style::Double:
            write_double_quoted(t, s.text.len, split);
            break;
        case Style::Literal:
            write_literal(t, s.text.len);
            break;
        }
    });
    pop_indent();
}

void Emitter::plain_simple_key(const TextView& text) {
    root_context_ = false;
    if (!whitespace_) {
        out_.push_back(' ');
        ++column_;
    }
    whitespace_ = false;
    indention_ = false;
    with_units(text, [&](auto* t) { write_units(t, 0, text.len); });
    column_ += text.len;
}

Emitter::KeyForm Emitter::key_form(const Scalar& s, const ScalarAnalysis& a) const {
    if (!simple_scalar_key(s, a)) return KeyForm::Complex;
    bool implicit_plain = s.style == ScalarStyle::Auto && resolve_plain(s.text) == s.tag;
    if (choose_style(s, a, implicit_plain, NodeContext{false, true}) == Style::Plain &&
        implicit_plain && flow_level_ == 0)
        return KeyForm::PlainSimple;
    return KeyForm::Simple;
}

void Emitter::empty_collection(const char* brackets) {
    write_indicator(brackets, 1, true, true);
    write_indicator(brackets + 1, 1, false);
}

void Emitter::sequence_start(Tag tag, bool empty) {
    if (tag != Tag::Seq) write_tag(tag);
    if (empty)
        empty_collection("[]");
    else
        increase_indent(false);
}

void Emitter::sequence_item() {
    write_indent();
    write_indicator("-", 1, true, false, true);
}

void Emitter::sequence_end() {
    pop_indent();
}

void Emitter::mapping_start(Tag tag, bool empty) {
    if (tag != Tag::Map) write_tag(tag);
    if (empty)
        empty_collection("{}");
    else
        increase_indent(false);
}

void Emitter::mapping_key(bool simple) {
    write_indent();
    if (!simple) write_indicator("?", 1, true, false, true);
}

void Emitter::mapping_value(bool simple) {
    if (simple) {
        write_indicator(":", 1, false);
    } else {
        write_indent();
        write_indicator(":", 1, true, false, true);
    }
}

void Emitter::mapping_end() {
    pop_indent();
}

void Emitter::end_document() {
    write_indent();
    // A document whose last scalar keeps its trailing line breaks ("|+") must be closed
    // explicitly, or a reader could not tell where the kept breaks end.
    if (open_ended_) {
        write_indicator("...", 3, true);
        write_indent();
    }
}

// The scalar writers below follow the library's own, character for character: the
// output must match it byte for byte, folding included. Plain, single-quoted and literal
// scalars are only chosen for texts of printable ASCII and line feeds, so the only line
// break they meet is "\n".

template <typename C> void Emitter::write_plain(const C* t, Py_ssize_t n, bool split) {
    if (root_context_) open_ended_ = true;
    if (n == 0) return;
    if (!whitespace_) {
        out_.push_back(' ');
        ++column_;
    }
    whitespace_ = false;
    indention_ = false;
    // Folding happens only at a blank past the width, and plain scalars carry no breaks.
    if (!split || column_ + n <= kBestWidth) {
        write_units(t, 0, n);
        column_ += n;
        return;
    }
    bool spaces = false, breaks = false;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= n; ++end) {
        Py_UCS4 ch = at(t, n, end);
        if (spaces) {
            if (ch != ' ') {
                if (start + 1 == end && column_ > kBestWidth && split) {
                    write_indent();
                    whitespace_ = false;
                    indention_ = false;
                } else {
                    write_units(t, start, end);
                    column_ += end - start;
                }
                start = end;
            }
        } else if (breaks) {
            if (!is_break(ch)) {
                if (t[start] == '\n') write_line_break();
                for (Py_ssize_t k = start; k < end; ++k)
                    write_line_break();
                write_indent();
                whitespace_ = false;
                indention_ = false;
                start = end;
            }
        } else if (ch == kEnd || ch == ' ' || is_break(ch)) {
            write_units(t, start, end);
            column_ += end - start;
            start = end;
        }
        if (ch != kEnd) {
            spaces = ch == ' ';
            breaks = is_break(ch);
        }
    }
}

template <typename C> void Emitter::write_single_quoted(const C* t, Py_ssize_t n, bool split) {
    write_indicator("'", 1, true);
    bool spaces = false, breaks = false;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= n; ++end) {
        Py_UCS4 ch = at(t, n, end);
        if (spaces) {
            if (ch == kEnd || ch != ' ') {
                if (start + 1 == end && column_ > kBestWidth && split && start != 0 && end != n) {
                    write_indent();
                } else {
                    write_units(t, start, end);
                    column_ += end - start;
                }
                start = end;
            }
        } else if (breaks) {
            if (ch == kEnd || !is_break(ch)) {
                if (t[start] == '\n') write_line_break();
                for (Py_ssize_t k = start; k < end; ++k)
                    write_line_break();
                write_indent();
                start = end;
            }
        } else if (ch == kEnd || ch == ' ' || is_break(ch) || ch == '\'') {
            if (start < end) {
                write_units(t, start, end);
                column_ += end - start;
                start = end;
            }
        }
        if (ch == '\'') {
            out_.append("''", 2);
            column_ += 2;
            start = end + 1;
        }
        if (ch != kEnd) {
            spaces = ch == ' ';
            breaks = is_break(ch);
        }
    }
    write_indicator("'", 1, false);
}

template <typename C> void Emitter::write_double_quoted(const C* t, Py_ssize_t n, bool split) {
    write_indicator("\"", 1, true);
    char esc[10];
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= n; ++end) {
        Py_UCS4 ch = at(t, n, end);
        if (ch == kEnd || ch == 0xFEFF || needs_escape(ch)) {
            if (start < end) {
                write_units(t, start, end);
                column_ += end - start;
                start = end;
            }
            if (ch != kEnd) {
                // escape() writes at most sizeof esc bytes; saying so keeps GCC from
                // warning about the long-copy branch of append().
                size_t k = std::min(escape(ch, esc), sizeof esc);
                out_.append(esc, k);
                column_ += Py_ssize_t(k);
                start = end + 1;
            }
        }
        if (0 < end && end < n - 1 && (ch == ' ' || start >= end) &&
            column_ + (end - start) > kBestWidth && split) {
            // After an escape `start` is already past `end`: only the backslash is written.
            if (start < end) write_units(t, start, end);
            out_.push_back('\\');
            column_ += (start < end ? end - start : 0) + 1;
            if (start < end) start = end;
            write_indent();
            whitespace_ = false;
            indention_ = false;
            if (t[start] == ' ') {
                out_.push_back('\\');
                ++column_;
            }
        }
    }
    write_indicator("\"", 1, false);
}

template <typename C> void Emitter::write_literal(const C* t, Py_ssize_t n) {
    char header[4] = {'|'};
    size_t hlen = 1;
    if (n > 0) {
        if (t[0] == ' ' || is_break(t[0])) header[hlen++] = '0' + kBestIndent;
        if (!is_break(t[n - 1]))
            header[hlen++] = '-';
        else if (n == 1 || is_break(t[n - 2]))
            header[hlen++] = '+';
    }
    write_indicator(header, hlen, true);
    if (header[hlen - 1] == '+') open_ended_ = true;
    write_line_break();
    bool breaks = true;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= n; ++end) {
        Py_UCS4 ch = at(t, n, end);
        if (breaks) {
            if (ch == kEnd || !is_break(ch)) {
                for (Py_ssize_t k = start; k < end; ++k)
                    write_line_break();
                if (ch != kEnd) write_indent();
                start = end;
            }
        } else if (ch == kEnd || is_break(ch)) {
            // The library does not advance the column here; the break that follows resets it.
            write_units(t, start, end);
            if (ch == kEnd) write_line_break();
            start = end;
        }
        if (ch != kEnd) breaks = is_break(ch);
    }
}

} // namespace korvo::campaign::yaml
