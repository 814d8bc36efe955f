#include "campaign/yaml/scalar_analysis.hpp"

#include <cstring>

namespace korvo::campaign::yaml {

namespace {

bool is_indicator_anywhere(Py_UCS4 ch) {
    return ch == ',' || ch == '?' || ch == '[' || ch == ']' || ch == '{' || ch == '}';
}

bool is_leading_indicator(Py_UCS4 ch) {
    switch (ch) {
    case '#':
    case ',':
    case '[':
    case ']':
    case '{':
    case '}':
    case '&':
    case '*':
    case '!':
    case '|':
    case '>':
    case '\'':
    case '"':
    case '%':
    case '@':
    case '`':
        return true;
    default:
        return false;
    }
}

// Character classes of the analysis. A character with none of them (letters, digits and
// most punctuation) changes nothing past the first position.
enum : uint8_t { kSpecial = 1, kBreak = 2, kSpace = 4, kAnywhereIndicator = 8 };

struct CharTable {
    uint8_t flags[256] = {};
    constexpr CharTable() {
        for (int c = 0; c < 256; ++c) {
            if (!(c == '\n' || (c >= 0x20 && c <= 0x7E))) flags[c] |= kSpecial;
        }
        flags[int('\n')] |= kBreak;
        flags[0x85] |= kBreak;
        flags[int(' ')] |= kSpace;
        const char indicators[] = ",?[]{}:#";
        for (int i = 0; indicators[i]; ++i)
            flags[int(indicators[i])] |= kAnywhereIndicator;
    }
};
constexpr CharTable kChars;

inline uint8_t char_flags(Py_UCS4 ch) {
    if (ch < 256) return kChars.flags[ch];
    return ch == 0x2028 || ch == 0x2029 ? uint8_t(kSpecial | kBreak) : uint8_t(kSpecial);
}

// The common case: nothing after the first character needs a look, so only the first
// character and a document-marker prefix can restrict the styles.
template <typename C> bool analyze_quick(const C* s, Py_ssize_t n, ScalarAnalysis& a) {
    for (Py_ssize_t i = 1; i < n; ++i)
        if (char_flags(s[i])) return false;
    Py_UCS4 first = s[0];
    if (char_flags(first) & (kSpecial | kBreak | kSpace)) return false;
    bool indicators = false, flow_only = false;
    if (n >= 3 && ((s[0] == '-' && s[1] == '-' && s[2] == '-') ||
                   (s[0] == '.' && s[1] == '.' && s[2] == '.')))
        indicators = true;
    if (is_leading_indicator(first)) indicators = true;
    if (first == '?' || first == ':') {
        if (n == 1)
            indicators = true;
        else
            flow_only = true;
    }
    if (first == '-' && n == 1) indicators = true;
    a.allow_flow_plain = !indicators && !flow_only;
    a.allow_block_plain = !indicators;
    a.allow_single_quoted = true;
    a.allow_block = true;
    return true;
}

template <typename C> ScalarAnalysis analyze(const C* s, Py_ssize_t n) {
    ScalarAnalysis a;
    a.length = n;
    if (n == 0) {
        a.empty = true;
        a.allow_block_plain = true;
        a.allow_single_quoted = true;
        return a;
    }
    if (analyze_quick(s, n, a)) return a;
    bool block_indicators = false, flow_indicators = false, line_breaks = false;
    bool special_characters = false;
    bool leading_space = false, leading_break = false, trailing_space = false;
    bool trailing_break = false, break_space = false, space_break = false;

    if (n >= 3 && ((s[0] == '-' && s[1] == '-' && s[2] == '-') ||
                   (s[0] == '.' && s[1] == '.' && s[2] == '.'))) {
        block_indicators = flow_indicators = true;
    }
    bool preceded_by_whitespace = true;
    bool followed_by_whitespace = n == 1 || is_blank_or_break_or_nul(s[1]);
    bool previous_space = false, previous_break = false;

    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = s[i];
        if (i == 0) {
            if (is_leading_indicator(ch)) flow_indicators = block_indicators = true;
            if (ch == '?' || ch == ':') {
                flow_indicators = true;
                if (followed_by_whitespace) block_indicators = true;
            }
            if (ch == '-' && followed_by_whitespace) flow_indicators = block_indicators = true;
        } else {
            if (is_indicator_anywhere(ch)) flow_indicators = true;
            if (ch == ':') {
                flow_indicators = true;
                if (followed_by_whitespace) block_indicators = true;
            }
            if (ch == '#' && preceded_by_whitespace) flow_indicators = block_indicators = true;
        }
        bool brk = is_break(ch);
        if (brk) line_breaks = true;
        // Without Unicode output every character beyond printable ASCII needs an escape.
        if (!(ch == '\n' || (ch >= 0x20 && ch <= 0x7E))) special_characters = true;
        if (ch == ' ') {
            if (i == 0) leading_space = true;
            if (i == n - 1) trailing_space = true;
            if (previous_break) break_space = true;
            previous_space = true;
            previous_break = false;
        } else if (brk) {
            if (i == 0) leading_break = true;
            if (i == n - 1) trailing_break = true;
            if (previous_space) space_break = true;
            previous_space = false;
            previous_break = true;
        } else {
            previous_space = previous_break = false;
        }
        preceded_by_whitespace = is_blank_or_break_or_nul(ch);
        followed_by_whitespace = i + 2 >= n || is_blank_or_break_or_nul(s[i + 2]);
    }

    bool flow_plain = true, block_plain = true, single_quoted = true, block = true;
    if (leading_space || leading_break || trailing_space || trailing_break)
        flow_plain = block_plain = false;
    if (trailing_space) block = false;
    if (break_space) flow_plain = block_plain = single_quoted = false;
    if (space_break || special_characters) flow_plain = block_plain = single_quoted = block = false;
    if (line_breaks) flow_plain = block_plain = false;
    if (flow_indicators) flow_plain = false;
    if (block_indicators) block_plain = false;

    a.multiline = line_breaks;
    a.allow_flow_plain = flow_plain;
    a.allow_block_plain = block_plain;
    a.allow_single_quoted = single_quoted;
    a.allow_block = block;
    return a;
}

// ---- implicit resolvers (each matches the whole text) ----

template <typename C> struct Cursor {
    const C* s;
    Py_ssize_t n;
    Py_ssize_t i = 0;
    bool at_end() const { return i >= n; }
    Py_UCS4 peek(Py_ssize_t k = 0) const { return i + k < n ? Py_UCS4(s[i + k]) : kEnd; }
    bool eat(Py_UCS4 ch) {
        if (peek() != ch) return false;
        ++i;
        return true;
    }
    bool eat_sign() { return eat('-') || eat('+'); }
};

inline bool is_digit(Py_UCS4 c) {
    return c >= '0' && c <= '9';
}
inline bool is_digit_us(Py_UCS4 c) {
    return is_digit(c) || c == '_';
}
inline bool is_hex_us(Py_UCS4 c) {
    return is_digit_us(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

template <typename C, typename P> void skip_while(Cursor<C>& c, P pred) {
    while (!c.at_end() && pred(c.peek()))
        ++c.i;
}

template <typename C, size_t N> bool equals(const C* s, Py_ssize_t n, const char (&word)[N]) {
    if (size_t(n) != N - 1) return false;
    for (size_t k = 0; k + 1 < N; ++k)
        if (Py_UCS4(s[k]) != Py_UCS4((unsigned char)word[k])) return false;
    return true;
}

template <typename C> bool match_bool(const C* s, Py_ssize_t n) {
    switch (n) {
    case 2:
        return equals(s, n, "no") || equals(s, n, "No") || equals(s, n, "NO") ||
               equals(s, n, "on") || equals(s, n, "On") || equals(s, n, "ON");
    case 3:
        return equals(s, n, "yes") || equals(s, n, "Yes") || equals(s, n, "YES") ||
               equals(s, n, "off") || equals(s, n, "Off") || equals(s, n, "OFF");
    case 4:
        return equals(s, n, "true") || equals(s, n, "True") || equals(s, n, "TRUE");
    case 5:
        return equals(s, n, "false") || equals(s, n, "False") || equals(s, n, "FALSE");
    default:
        return false;
    }
}

// One or more ":" groups of sexagesimal digits ([0-5]?[0-9]).
template <typename C> bool eat_sexagesimal_groups(Cursor<C>& c) {
    bool any = false;
    while (c.peek() == ':') {
        Py_UCS4 d1 = c.peek(1), d2 = c.peek(2);
        if (!is_digit(d1)) break;
        if (is_digit(d2)) {
            if (d1 > '5') return false;
            c.i += 3;
        } else {
            c.i += 2;
        }
        any = true;
    }
    return any;
}

template <typename C> bool eat_exponent_to_end(Cursor<C>& c) {
    if (c.at_end()) return true;
    if (!(c.eat('e') || c.eat('E'))) return false;
    if (!c.eat_sign()) return false;
    if (!is_digit(c.peek())) return false;
    skip_while(c, is_digit);
    return c.at_end();
}

template <typename C> bool match_float(const C* s, Py_ssize_t n) {
    { // [-+]?[0-9][0-9_]*\.[0-9_]*(?:[eE][-+][0-9]+)?
        Cursor<C> c{s, n};
        c.eat_sign();
        if (is_digit(c.peek())) {
            skip_while(c, is_digit_us);
            if (c.eat('.')) {
                skip_while(c, is_digit_us);
                if (eat_exponent_to_end(c)) return true;
            }
        }
    }
    { // \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
        Cursor<C> c{s, n};
        if (c.eat('.') && is_digit(c.peek())) {
            skip_while(c, is_digit_us);
            if (eat_exponent_to_end(c)) return true;
        }
    }
    { // [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
        Cursor<C> c{s, n};
        c.eat_sign();
        if (is_digit(c.peek())) {
            skip_while(c, is_digit_us);
            if (eat_sexagesimal_groups(c) && c.eat('.')) {
                skip_while(c, is_digit_us);
                if (c.at_end()) return true;
            }
        }
    }
    { // [-+]?\.(?:inf|Inf|INF) and \.(?:nan|NaN|NAN)
        Cursor<C> c{s, n};
        bool signed_ = c.eat_sign();
        if (c.eat('.')) {
            const C* rest = s + c.i;
            Py_ssize_t m = n - c.i;
            if (equals(rest, m, "inf") || equals(rest, m, "Inf") || equals(rest, m, "INF"))
                return true;
            if (!signed_ &&
                (equals(rest, m, "nan") || equals(rest, m, "NaN") || equals(rest, m, "NAN")))
                return true;
        }
    }
    return false;
}

template <typename C> bool match_int(const C* s, Py_ssize_t n) {
    Cursor<C> start{s, n};
    start.eat_sign();
    Py_ssize_t body = start.i;
    { // 0b[0-1_]+
        Cursor<C> c{s, n, body};
        if (c.eat('0') && c.eat('b') && !c.at_end()) {
            skip_while(c, [](Py_UCS4 ch) { return ch == '0' || ch == '1' || ch == '_'; });
            if (c.at_end()) return true;
        }
    }
    { // 0[0-7_]+
        Cursor<C> c{s, n, body};
        if (c.eat('0') && !c.at_end()) {
            skip_while(c, [](Py_UCS4 ch) { return (ch >= '0' && ch <= '7') || ch == '_'; });
            if (c.at_end()) return true;
        }
    }
    { // 0|[1-9][0-9_]*
        Cursor<C> c{s, n, body};
        if (c.eat('0') && c.at_end()) return true;
        c.i = body;
        Py_UCS4 d = c.peek();
        if (d >= '1' && d <= '9') {
            ++c.i;
            skip_while(c, is_digit_us);
            if (c.at_end()) return true;
        }
    }
    { // 0x[0-9a-fA-F_]+
        Cursor<C> c{s, n, body};
        if (c.eat('0') && c.eat('x') && !c.at_end()) {
            skip_while(c, is_hex_us);
            if (c.at_end()) return true;
        }
    }
    { // [1-9][0-9_]*(?::[0-5]?[0-9])+
        Cursor<C> c{s, n, body};
        Py_UCS4 d = c.peek();
        if (d >= '1' && d <= '9') {
            ++c.i;
            skip_while(c, is_digit_us);
            if (eat_sexagesimal_groups(c) && c.at_end()) return true;
        }
    }
    return false;
}

template <typename C> bool match_null(const C* s, Py_ssize_t n) {
    return n == 0 || equals(s, n, "~") || equals(s, n, "null") || equals(s, n, "Null") ||
           equals(s, n, "NULL");
}

template <typename C> bool eat_digits(Cursor<C>& c, int min, int max) {
    int k = 0;
    while (k < max && is_digit(c.peek())) {
        ++c.i;
        ++k;
    }
    return k >= min;
}

template <typename C> bool match_timestamp(const C* s, Py_ssize_t n) {
    Cursor<C> c{s, n};
    if (!eat_digits(c, 4, 4) || !c.eat('-')) return false;
    Py_ssize_t after_year = c.i;
    // Date alone: exactly two digits for month and day.
    if (eat_digits(c, 2, 2) && c.eat('-') && eat_digits(c, 2, 2) && c.at_end()) return true;
    c.i = after_year;
    if (!eat_digits(c, 1, 2) || !c.eat('-') || !eat_digits(c, 1, 2)) return false;
    if (!(c.eat('T') || c.eat('t'))) {
        if (!(c.peek() == ' ' || c.peek() == '\t')) return false;
        skip_while(c, [](Py_UCS4 ch) { return ch == ' ' || ch == '\t'; });
    }
    if (!eat_digits(c, 1, 2) || !c.eat(':') || !eat_digits(c, 2, 2) || !c.eat(':') ||
        !eat_digits(c, 2, 2))
        return false;
    if (c.eat('.')) skip_while(c, is_digit);
    if (c.at_end()) return true;
    skip_while(c, [](Py_UCS4 ch) { return ch == ' ' || ch == '\t'; });
    if (c.eat('Z')) return c.at_end();
    if (!c.eat_sign() || !eat_digits(c, 1, 2)) return false;
    if (c.at_end()) return true;
    return c.eat(':') && eat_digits(c, 2, 2) && c.at_end();
}

// The implicit resolvers in the order the library registers them, picked by first character.
template <typename C> Tag resolve_exact(const C* s, Py_ssize_t n) {
    if (n == 0) return Tag::Null;
    Py_UCS4 first = s[0];
    switch (first) {
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case 'o':
    case 'O':
        return match_bool(s, n) ? Tag::Bool : Tag::Str;
    case 'n':
    case 'N':
        if (match_bool(s, n)) return Tag::Bool;
        return match_null(s, n) ? Tag::Null : Tag::Str;
    case '~':
        return match_null(s, n) ? Tag::Null : Tag::Str;
    case '<':
        return equals(s, n, "<<") ? Tag::Merge : Tag::Str;
    case '=':
        return n == 1 ? Tag::Value : Tag::Str;
    case '!':
    case '&':
    case '*':
        return n == 1 ? Tag::Yaml : Tag::Str;
    case '.':
        return match_float(s, n) ? Tag::Float : Tag::Str;
    case '-':
    case '+':
        if (match_float(s, n)) return Tag::Float;
        return match_int(s, n) ? Tag::Int : Tag::Str;
    default:
        if (!is_digit(first)) return Tag::Str;
        if (match_float(s, n)) return Tag::Float;
        if (match_int(s, n)) return Tag::Int;
        return match_timestamp(s, n) ? Tag::Timestamp : Tag::Str;
    }
}

} // namespace

ScalarAnalysis analyze_scalar(const TextView& text) {
    return with_units(text, [&](auto* s) { return analyze(s, text.len); });
}

Tag resolve_plain(const TextView& text) {
    return with_units(text, [&](auto* s) {
        // The library's patterns end in "$", which also matches before a final line feed,
        // and the resolvers are chosen by the text's own first character.
        if (text.len == 0) return Tag::Null;
        Tag tag = resolve_exact(s, text.len);
        if (tag == Tag::Str && text.len > 1 && s[text.len - 1] == '\n') {
            Tag first_choice = resolve_exact(s, text.len - 1);
            if (first_choice != Tag::Str) return first_choice;
        }
        return tag;
    });
}

namespace {

// 1: may stand anywhere in a shortcut text; 2: may also start it.
struct WordTable {
    uint8_t flags[256] = {};
    constexpr WordTable() {
        for (int c = 'a'; c <= 'z'; ++c)
            flags[c] = 3;
        for (int c = 'A'; c <= 'Z'; ++c)
            flags[c] = 3;
        for (int c = '0'; c <= '9'; ++c)
            flags[c] = 1;
        flags[int('_')] = flags[int('/')] = 3;
        flags[int('.')] = flags[int('-')] = flags[int(' ')] = 1;
    }
};
constexpr WordTable kWords;

} // namespace

bool plain_str_text(const Py_UCS1* s, Py_ssize_t n) {
    // None of these characters is an indicator past the first position, and the first
    // is none at all; no break or special character can occur.
    if (n == 0 || !(kWords.flags[s[0]] & 2) || s[n - 1] == ' ') return false;
    for (Py_ssize_t i = 1; i < n; ++i)
        if (!kWords.flags[s[i]]) return false;
    // Only the bool and null words start with a letter among the implicit types; the
    // resolver answers those by their first letter and everything else at once.
    return resolve_exact(s, n) == Tag::Str;
}

} // namespace korvo::campaign::yaml
