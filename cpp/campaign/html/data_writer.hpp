// The JSON writer of the report page's data: report values (results, counters, date-times,
// nodes) by the results file's rules, anything else by its repr instead of failing, since a
// page that opens beats a page that is not written. Its text is safe inside a <script>.
#pragma once

#include <Python.h>

#include <cstdint>

#include "campaign/json/writer.hpp"

namespace korvo::campaign::html {

class DataWriter : public JsonWriter {
  public:
    void integer(long long v);
    // A str of any kind as a JSON string; other values by their str().
    void text(PyObject* obj);
    // Bytes as a JSON string of one code unit per byte, so the page can index a slice
    // by byte offsets and decode it as UTF-8 itself.
    void byte_string(const char* data, size_t size);
    // Appends the text of another writer.
    void append(const nb::object& ascii_text);
    size_t size() const { return out_.size(); }
    // The finished text with every '<' written as \u003c (JSON has '<' only inside strings),
    // so no "</script" or "<!--" can end or change the embedding element.
    nb::object finish_for_script();

  protected:
    void substitute(PyObject* obj) override;
};

} // namespace korvo::campaign::html
