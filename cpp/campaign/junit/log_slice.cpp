#include "campaign/junit/log_slice.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace korvo::campaign::junit {

namespace {

// An entry of a log position: a strong reference, or null when absent.
nb::object entry(PyObject* logs, const char* key) {
    PyObject* value = PyDict_GetItemString(logs, key);
    return nb::borrow(value);
}

bool whole_number(PyObject* value, long long& out) {
    if (!value || !PyLong_Check(value) || PyBool_Check(value)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0;
}

// A log position names a file in the results' directory by its base name; anything
// else (a path, "..") would read outside it.
bool is_base_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// Keeps a cut slice from ending inside a UTF-8 sequence, which would show as escapes.
size_t whole_characters(const std::string& data) {
    size_t n = data.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned char c = static_cast<unsigned char>(data[n - back]);
        if ((c & 0xc0) == 0x80) continue; // continuation byte
        size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        return length > back ? n - back : n;
    }
    return n;
}

} // namespace

LogReader::~LogReader() {
    if (fd_ >= 0) ::close(fd_);
}

int LogReader::open_log(PyObject* name) {
    nb::object encoded = check(PyUnicode_EncodeFSDefault(name));
    std::string base(PyBytes_AS_STRING(encoded.ptr()), size_t(PyBytes_GET_SIZE(encoded.ptr())));
    if (fd_ >= 0 && base == open_name_) return fd_;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!is_base_name(base)) return -1;
    std::string path = dir_.empty() ? base : dir_ + "/" + base;
    // Never follows a link and never waits on a FIFO: only a regular file is read.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR || errno == ENXIO) return -1;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw nb::python_error();
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    fd_ = fd;
    open_name_ = base;
    return fd_;
}

bool LogReader::read(PyObject* logs, nb::object& text) {
    if (!PyDict_Check(logs)) return false;
    nb::object file = entry(logs, "file");
    nb::object begin_value = entry(logs, "begin");
    nb::object size_value = entry(logs, "size");
    long long begin = 0, size = 0;
    if (!file || !PyUnicode_Check(file.ptr()) || !whole_number(begin_value.ptr(), begin) ||
        !whole_number(size_value.ptr(), size) || begin < 0 || size <= 0)
        return false;
    int fd = open_log(file.ptr());
    if (fd < 0) return false;

    long long wanted = size < kLogSliceCap ? size : kLogSliceCap;
    std::string data(size_t(wanted), '\0');
    size_t got = 0;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS;
    while (got < data.size()) {
        ssize_t n = ::pread(fd, &data[got], data.size() - got, off_t(begin + (long long)got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    Py_END_ALLOW_THREADS;
    if (error) {
        errno = error;
        std::string path = dir_ + "/" + open_name_;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw nb::python_error();
    }
    data.resize(got);
    bool cut = size > kLogSliceCap && got == size_t(wanted);
    if (cut) data.resize(whole_characters(data));

    // Bytes that are not UTF-8 stay visible as \xNN.
    text = check(PyUnicode_DecodeUTF8(data.data(), Py_ssize_t(data.size()), "backslashreplace"));
    nb::object note;
    if (cut) {
        note = check(PyUnicode_FromFormat("\n[log cut: the first %zd of %lld bytes are shown; the "
                                          "rest is in %U from byte %lld]\n",
                                          Py_ssize_t(data.size()), size, file.ptr(),
                                          begin + (long long)data.size()));
    } else if (got < size_t(wanted)) {
        note = check(PyUnicode_FromFormat(
            "\n[log file %U holds only %zd of the %lld bytes recorded from byte %lld]\n",
            file.ptr(), Py_ssize_t(got), size, begin));
    }
    if (note) text = check(PyUnicode_Concat(text.ptr(), note.ptr()));
    return true;
}

} // namespace korvo::campaign::junit
