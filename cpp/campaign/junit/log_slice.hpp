// The bytes a node wrote to its log file, read back from the directory beside the
// results, for the JUnit <system-out>.
#pragma once

#include <Python.h>

#include <string>

#include "common/py_support.hpp"

namespace korvo::campaign::junit {

// What a testcase shows of its log: CI pages load these documents whole.
constexpr long long kLogSliceCap = 64 * 1024;

class LogReader {
  public:
    // `dir`: the file-system path of the directory the log files lie in.
    explicit LogReader(std::string dir) : dir_(std::move(dir)) {}
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // The slice named by a node's `logs` mapping (file, begin, size) as text for
    // <system-out>, with a note when it was cut or the file holds less than recorded.
    // False when the mapping names no slice or the file is not a regular file beside
    // the results; a file that cannot be read for other reasons raises OSError.
    bool read(PyObject* logs, nb::object& text);

  private:
    int open_log(PyObject* name);

    std::string dir_;
    std::string open_name_; // the file `fd_` reads, by its name in `dir_`
    int fd_ = -1;
};

} // namespace korvo::campaign::junit
