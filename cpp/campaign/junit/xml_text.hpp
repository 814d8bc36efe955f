// Text made safe for the JUnit document: UTF-8, XML markup escaped, and characters
// XML 1.0 cannot carry shown by the shared visible escape instead of being dropped.
#pragma once

#include <Python.h>

#include <string>

namespace korvo::campaign::junit {

enum class XmlPlace { Text, Attribute };

// Appends `text` (a str) escaped for `place`.
void append_xml(std::string& out, PyObject* text, XmlPlace place);

// Appends str(value) escaped for `place`.
void append_xml_str(std::string& out, PyObject* value, XmlPlace place);

// Appends ASCII text that needs no escaping (numbers, fixed words).
inline void append_plain(std::string& out, const char* text) {
    out.append(text);
}

} // namespace korvo::campaign::junit
