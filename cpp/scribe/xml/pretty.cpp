#include "scribe/xml/pretty.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "common/py_compat.hpp"
#include "common/py_support.hpp"
#include "common/signal_poll.hpp"

// The document printed here is the one the DOM pretty-printer makes after the element
// tree's UTF-8 serialisation has been re-parsed. What the round trip does to the data:
// - the element tree escapes & < > in texts and & < > " in attribute values; since
//   3.9 it writes CR, LF and TAB in attribute values as character references (3.8 turns
//   CR LF and CR into LF first), so the parser keeps them verbatim;
// - the parser turns CR LF and lone CR in character data into LF;
// - the DOM printer escapes & < " > in texts and attribute values alike (from 3.13 it
//   leaves " alone in texts and writes CR, LF and TAB in attribute values as references).
// Anything the parser might reject or rewrite in a way not modelled here (foreign names,
// namespaces, comments, non-text values, forbidden characters) makes the walk give up,
// so the caller runs the library path and gets the library's own result or error.

namespace korvo::scribe {

namespace {

#if PY_VERSION_HEX >= 0x030D0000
constexpr bool kDomQuotesInText = false;
constexpr bool kDomEscapesAttrWhitespace = true;
#else
constexpr bool kDomQuotesInText = true;
constexpr bool kDomEscapesAttrWhitespace = false;
#endif
#if PY_VERSION_HEX >= 0x03090000
constexpr bool kTreeFoldsAttrCR = false;
#else
constexpr bool kTreeFoldsAttrCR = true;
#endif

// A field of the library's Element: its getter called straight when the type cannot change
// (a C type, immutable), which skips the attribute lookup that every element pays several
// times over; getattr otherwise.
struct ElementField {
    PyObject* name = nullptr;
    getter get = nullptr;
    void* closure = nullptr;

    nb::object read(PyObject* elem) const {
        if (get) return check(get(elem, closure));
        return get_attr(elem, name);
    }
};

struct TreeNames {
    ElementField tag;
    PyObject* attrib;
    PyObject* keys;
    PyCFunction keys_call = nullptr; // Element.keys when it takes no arguments
    ElementField text;
    ElementField tail;
    PyTypeObject* element_type;

    // elem.keys()
    nb::object keys_of(PyObject* elem) const {
        if (keys_call) return check(keys_call(elem, nullptr));
        return check(PyObject_CallMethodNoArgs(elem, keys));
    }
};

// `name` on `type`, found only when the type cannot change (a C type, immutable), so that
// what is found stays what the type answers.
PyObject* fixed_type_lookup(PyTypeObject* type, PyObject* name) {
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) return type_lookup(type, name);
#endif
    return type->tp_flags & Py_TPFLAGS_HEAPTYPE ? nullptr : type_lookup(type, name);
}

ElementField element_field(PyTypeObject* type, const char* name) {
    ElementField field;
    field.name = intern(name);
    PyObject* found = fixed_type_lookup(type, field.name);
    if (found && Py_TYPE(found) == &PyGetSetDescr_Type) {
        PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset;
        field.get = def->get;
        field.closure = def->closure;
    }
    return field;
}

const TreeNames& tree_names() {
    static const TreeNames names = [] {
        TreeNames n;
        n.attrib = intern("attrib");
        n.keys = intern("keys");
        nb::object et = check(PyImport_ImportModule("xml.etree.ElementTree"));
        nb::object type = get_attr(et.ptr(), nb::str("Element").ptr());
        if (!PyType_Check(type.ptr())) raise(PyExc_TypeError, "Element is not a type");
        n.element_type = reinterpret_cast<PyTypeObject*>(type.release().ptr());
        n.tag = element_field(n.element_type, "tag");
        n.text = element_field(n.element_type, "text");
        n.tail = element_field(n.element_type, "tail");
        PyObject* keys = fixed_type_lookup(n.element_type, n.keys);
        if (keys && Py_TYPE(keys) == &PyMethodDescr_Type) {
            PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(keys)->d_method;
            if ((def->ml_flags & ~METH_COEXIST) == METH_NOARGS) n.keys_call = def->ml_meth;
        }
        return n;
    }();
    return names;
}

// ASCII bytes that need more than a plain copy: controls, & < > ".
struct AsciiTable {
    bool special[128] = {};
    bool name_start[128] = {};
    bool name_char[128] = {};
    constexpr AsciiTable() {
        for (int c = 0; c < 0x20; ++c)
            special[c] = true;
        special[int('&')] = special[int('<')] = special[int('>')] = special[int('"')] = true;
        for (int c = 'a'; c <= 'z'; ++c)
            name_start[c] = name_char[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c)
            name_start[c] = name_char[c] = true;
        name_start[int('_')] = name_char[int('_')] = true;
        for (int c = '0'; c <= '9'; ++c)
            name_char[c] = true;
        name_char[int('.')] = name_char[int('-')] = true;
    }
};
constexpr AsciiTable ascii;

void put_utf8(Py_UCS4 c, std::string& out) {
    if (c < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
}

// Appends `d[0..n)` as the pretty-printer writes the re-parsed value; false when the
// parser would reject a character.
template <typename Char>
bool put_escaped(const Char* d, Py_ssize_t n, bool attr, std::string& out) {
    Py_ssize_t i = 0;
    while (i < n) {
        Py_ssize_t j = i;
        while (j < n && d[j] < 0x80 && !ascii.special[d[j]])
            ++j;
        if constexpr (sizeof(Char) == 1) {
            out.append(reinterpret_cast<const char*>(d) + i, static_cast<size_t>(j - i));
        } else {
            for (Py_ssize_t k = i; k < j; ++k)
                out.push_back(static_cast<char>(d[k]));
        }
        if (j == n) break;
        Py_UCS4 c = d[j];
        i = j + 1;
        switch (c) {
        case '&':
            out.append("&amp;");
            continue;
        case '<':
            out.append("&lt;");
            continue;
        case '>':
            out.append("&gt;");
            continue;
        case '"':
            if (attr || kDomQuotesInText)
                out.append("&quot;");
            else
                out.push_back('"');
            continue;
        case '\t':
            if (attr && kDomEscapesAttrWhitespace)
                out.append("&#9;");
            else
                out.push_back('\t');
            continue;
        case '\n':
            if (attr && kDomEscapesAttrWhitespace)
                out.append("&#10;");
            else
                out.push_back('\n');
            continue;
        case '\r':
            if (attr && !kTreeFoldsAttrCR) {
                // Kept through a character reference.
                if (kDomEscapesAttrWhitespace)
                    out.append("&#13;");
                else
                    out.push_back('\r');
            } else {
                // Line-end handling: CR LF and a lone CR both read as one LF.
                if (i < n && d[i] == '\n') ++i;
                out.push_back('\n');
            }
            continue;
        default:
            break;
        }
        if (c < 0x80) return false; // the other C0 controls are not XML characters
        if (sizeof(Char) > 1) {
            if (c >= 0xd800 && c <= 0xdfff) return false;
            if (c == 0xfffe || c == 0xffff) return false;
        }
        put_utf8(c, out);
    }
    return true;
}

bool put_text(PyObject* s, bool attr, std::string& out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return put_escaped(PyUnicode_1BYTE_DATA(s), n, attr, out);
    case PyUnicode_2BYTE_KIND:
        return put_escaped(PyUnicode_2BYTE_DATA(s), n, attr, out);
    default:
        return put_escaped(PyUnicode_4BYTE_DATA(s), n, attr, out);
    }
}

// Plain ASCII names without a colon: what the parser takes as written in every mode.
bool put_name(PyObject* s, std::string& out) {
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
    if (n == 0 || !ascii.name_start[d[0]]) return false;
    for (Py_ssize_t i = 1; i < n; ++i)
        if (!ascii.name_char[d[i]]) return false;
    out.append(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
    return true;
}

// Namespace declarations would be reordered by the namespace-aware parser.
bool is_xmlns(PyObject* name) {
    return PyUnicode_GET_LENGTH(name) >= 5 &&
           std::memcmp(PyUnicode_1BYTE_DATA(name), "xmlns", 5) == 0;
}

enum class TextKind { Absent, Text, Foreign };

// None and "" write nothing; a non-empty exact str is a text node; anything else is left
// to the library (its serialisation raises or writes something odd).
TextKind text_kind(PyObject* v) {
    if (v == Py_None) return TextKind::Absent;
    if (!PyUnicode_CheckExact(v)) return TextKind::Foreign;
    return PyUnicode_GET_LENGTH(v) ? TextKind::Text : TextKind::Absent;
}

bool is_xml_blank(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(s, i);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    }
    return true;
}

class Printer {
  public:
    Printer(const TreeNames& names, std::string& out, const TextFlush& flush)
        : names_(names), out_(out), flush_(flush) {}

    bool element(PyObject* elem, int depth) {
        std::optional<RecursionGuard> guard;
        try {
            guard.emplace(" while pretty-printing an element tree");
        } catch (nb::python_error& e) {
            // Too deep for us: the library path reaches (or not) its own limit.
            if (!e.matches(PyExc_RecursionError)) throw;
            return false;
        }
        return element_body(elem, depth);
    }

  private:
    void indent(int depth) { out_.append(static_cast<size_t>(depth) * 2, ' '); }

    bool element_body(PyObject* elem, int depth) {
        signals_.step();
        if (Py_TYPE(elem) != names_.element_type) return false;
        nb::object tag = names_.tag.read(elem);
        indent(depth);
        out_.push_back('<');
        if (!put_name(tag.ptr(), out_)) return false;
        if (!attributes(elem)) return false;

        nb::object text = names_.text.read(elem);
        TextKind tk = text_kind(text.ptr());
        if (tk == TextKind::Foreign) return false;
        Py_ssize_t n = PySequence_Size(elem);
        if (n < 0) throw nb::python_error();

        if (n == 0) {
            if (tk == TextKind::Absent) {
                out_.append("/>\n");
                return true;
            }
            out_.push_back('>');
            if (!put_text(text.ptr(), false, out_)) return false;
        } else {
            out_.append(">\n");
            if (tk == TextKind::Text && !text_line(text.ptr(), depth + 1)) return false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::object child = check(PySequence_GetItem(elem, i));
                if (!element(child.ptr(), depth + 1)) return false;
                nb::object tail = names_.tail.read(child.ptr());
                TextKind kind = text_kind(tail.ptr());
                if (kind == TextKind::Foreign) return false;
                if (kind == TextKind::Text && !text_line(tail.ptr(), depth + 1)) return false;
                if (flush_ && out_.size() >= kFlushChunk) flush_(out_);
            }
            indent(depth);
        }
        out_.append("</");
        out_.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(tag.ptr())),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(tag.ptr())));
        out_.append(">\n");
        return true;
    }

    // A text among element children: a line of its own at the children's indentation.
    bool text_line(PyObject* s, int depth) {
        indent(depth);
        if (!put_text(s, false, out_)) return false;
        out_.push_back('\n');
        return true;
    }

    bool attributes(PyObject* elem) {
        // Reading .attrib gives an element without attributes a dict (and more) for good:
        // megabytes per thousand records. keys() tells first, and makes nothing to keep.
        nb::object keys = names_.keys_of(elem);
        if (PyList_CheckExact(keys.ptr()) && PyList_GET_SIZE(keys.ptr()) == 0) return true;
        nb::object attrib = get_attr(elem, names_.attrib);
        if (!PyDict_CheckExact(attrib.ptr())) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(attrib.ptr(), &pos, &key, &value)) {
            out_.push_back(' ');
            if (!put_name(key, out_) || is_xmlns(key)) return false;
            if (!PyUnicode_CheckExact(value)) return false;
            out_.append("=\"");
            if (!put_text(value, true, out_)) return false;
            out_.push_back('"');
        }
        return true;
    }

    static constexpr size_t kFlushChunk = size_t(4) << 20;

    const TreeNames& names_;
    SignalPoll signals_;
    std::string& out_;
    const TextFlush& flush_;
};

} // namespace

bool pretty_print_element(PyObject* element, std::string& out, const TextFlush& flush) {
    const TreeNames& names = tree_names();
    size_t start = out.size();
    out.append("<?xml version=\"1.0\" ?>\n");
    Printer printer(names, out, flush);
    bool ok = printer.element(element, 0);
    if (ok) {
        // Blanks after the root element are allowed and dropped; anything else is not.
        nb::object tail = names.tail.read(element);
        TextKind kind = text_kind(tail.ptr());
        ok = kind == TextKind::Absent || (kind == TextKind::Text && is_xml_blank(tail.ptr()));
    }
    if (!ok) out.resize(start);
    return ok;
}

#if PY_VERSION_HEX < 0x030B0000
namespace {

// C stack the library takes per level of the tree (measured at about 400 bytes on 3.8 and
// 3.10; kept with a wide margin).
constexpr size_t kLibraryStackPerLevel = 1024;

// Children of an element as the library sees them; none for what is not a sequence (the
// library then raises its own error).
Py_ssize_t child_count(PyObject* element) {
    // Texts are sequences of texts without end: leaves here, as for the library.
    if (PyUnicode_Check(element) || PyBytes_Check(element) || PyByteArray_Check(element)) return 0;
    Py_ssize_t n = PySequence_Check(element) ? PySequence_Size(element) : 0;
    if (n < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return 0;
    }
    return n;
}

} // namespace

void check_library_depth(PyObject* element) {
    size_t room = detail::stack_room();
    if (room == SIZE_MAX) return;
    size_t limit = room / kLibraryStackPerLevel;
    struct Level {
        nb::object element;
        Py_ssize_t next, count;
    };
    std::vector<Level> path;
    path.push_back({nb::borrow(element), 0, child_count(element)});
    while (!path.empty()) {
        Level& top = path.back();
        if (top.next >= top.count) {
            path.pop_back();
            continue;
        }
        nb::object child = check(PySequence_GetItem(top.element.ptr(), top.next++));
        if (path.size() + 1 > limit)
            raise(PyExc_RecursionError,
                  "maximum recursion depth exceeded while pretty-printing an element tree");
        Py_ssize_t count = child_count(child.ptr());
        path.push_back({std::move(child), 0, count});
    }
}
#else
void check_library_depth(PyObject*) {}
#endif

nb::object pretty_xml(PyObject* element) {
    std::string out;
    out.reserve(size_t(1) << 16);
    if (pretty_print_element(element, out))
        return check(
            PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr));
    check_library_depth(element);
    nb::object et = check(PyImport_ImportModule("xml.etree.ElementTree"));
    nb::object minidom = check(PyImport_ImportModule("xml.dom.minidom"));
    nb::object tostring = get_attr(et.ptr(), nb::str("tostring").ptr());
    nb::object rough = tostring(nb::handle(element), nb::arg("encoding") = "utf-8");
    nb::object parse = get_attr(minidom.ptr(), nb::str("parseString").ptr());
    nb::object doc = parse(rough);
    nb::object pretty = get_attr(doc.ptr(), nb::str("toprettyxml").ptr());
    return pretty(nb::arg("indent") = "  ");
}

} // namespace korvo::scribe
