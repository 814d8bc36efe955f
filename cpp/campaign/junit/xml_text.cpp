#include "campaign/junit/xml_text.hpp"

#include "common/py_support.hpp"
#include "common/visible_escape.hpp"

namespace korvo::campaign::junit {

namespace {

void put_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xc0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.push_back(char(0xe0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(char(0x80 | (c & 0x3f)));
    } else {
        out.push_back(char(0xf0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(char(0x80 | (c & 0x3f)));
    }
}

template <typename Char>
void put_escaped(std::string& out, const Char* data, Py_ssize_t n, XmlPlace place) {
    const bool attribute = place == XmlPlace::Attribute;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = data[i];
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
            if (attribute) {
                out.append("&quot;");
                continue;
            }
            break;
        // A parser folds a literal CR into LF, and LF or TAB in an attribute into a blank;
        // references keep them.
        case '\r':
            out.append("&#13;");
            continue;
        case '\n':
            if (attribute) {
                out.append("&#10;");
                continue;
            }
            break;
        case '\t':
            if (attribute) {
                out.append("&#9;");
                continue;
            }
            break;
        default:
            break;
        }
        if (xml_cannot_carry(c)) {
            char escape[kMaxVisibleEscape];
            out.append(escape, size_t(put_visible_escape(c, escape)));
        } else {
            put_utf8(out, c);
        }
    }
}

} // namespace

void append_xml(std::string& out, PyObject* text, XmlPlace place) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        put_escaped(out, PyUnicode_1BYTE_DATA(text), n, place);
        break;
    case PyUnicode_2BYTE_KIND:
        put_escaped(out, PyUnicode_2BYTE_DATA(text), n, place);
        break;
    default:
        put_escaped(out, PyUnicode_4BYTE_DATA(text), n, place);
        break;
    }
}

void append_xml_str(std::string& out, PyObject* value, XmlPlace place) {
    if (PyUnicode_Check(value)) {
        append_xml(out, value, place);
        return;
    }
    nb::object text = check(PyObject_Str(value));
    append_xml(out, text.ptr(), place);
}

} // namespace korvo::campaign::junit
