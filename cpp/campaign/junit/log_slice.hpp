// The bytes a node wrote to its log file, read back from the directory beside the
// results, for the JUnit <system-out>.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "common/py_support.hpp"
#include "files/input_file.hpp"

namespace korvo::campaign::junit {

// What a testcase shows of its log: CI pages load these documents whole.
constexpr long long kLogSliceCap = 64 * 1024;

class LogReader {
  public:
    // `dirs`: the file-system paths of the directories the log files lie in, searched in
    // order.
    explicit LogReader(std::vector<std::string> dirs) : files_(std::move(dirs)) {}

    // The slice named by a node's `logs` mapping (file, begin, size) as text for
    // <system-out>, with a note when it was cut or the file holds less than recorded.
    // False when the mapping names no slice, the file is not a regular file beside the
    // results or ends before the slice begins; a file that cannot be read for other
    // reasons raises OSError.
    bool read(PyObject* logs, nb::object& text);

  private:
    files::LogDir files_;
};

} // namespace korvo::campaign::junit
