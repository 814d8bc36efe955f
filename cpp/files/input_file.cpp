#include "files/input_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "common/py_support.hpp"

namespace korvo::files {

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Closes on every path out.
struct Fd {
    int fd;
    ~Fd() {
        if (fd > 2) ::close(fd);
    }
};

[[noreturn]] void raise_os_error(int err, PyObject* path) {
    errno = err;
    if (path)
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    else
        PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

} // namespace

int open_regular(int dir_fd, const char* name, bool no_follow, long long* size,
                 const char** refusal) {
    *refusal = nullptr;
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (no_follow ? O_NOFOLLOW : 0);
    int fd;
    do
        fd = ::openat(dir_fd, name, flags);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // O_NOFOLLOW on a link; ENXIO: a socket
        if (errno == ELOOP && no_follow) *refusal = "a symbolic link";
        if (errno == ENXIO) *refusal = "a socket";
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        *refusal = kind_of(info.st_mode);
        ::close(fd);
        return -1;
    }
    *size = (long long)info.st_size;
    return fd;
}

namespace {

// The input at `path` opened for reading to its end (standard input for None), or the
// refusal raised.
int open_input(nb::handle path, long long* size) {
    *size = 0;
    if (path.is_none()) return 0;
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &raw)) throw nb::python_error();
    nb::object encoded = nb::steal(raw);
    const char* refusal = nullptr;
    int fd = open_regular(AT_FDCWD, PyBytes_AS_STRING(raw), false, size, &refusal);
    if (fd < 0 && refusal) {
        PyErr_Format(PyExc_ValueError, "is %s, not a regular file", refusal);
        throw nb::python_error();
    }
    if (fd < 0) raise_os_error(errno, path.ptr());
    if (*size > kMaxInput) {
        ::close(fd);
        PyErr_Format(PyExc_ValueError, "holds %lld bytes, more than the %lld read at most", *size,
                     kMaxInput);
        throw nb::python_error();
    }
    // A regular file never blocks; reads see it as any other file from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

void check_input(nb::handle path) {
    long long size = 0;
    Fd in{open_input(path, &size)};
}

nb::bytes read_input(nb::handle path) {
    long long known = 0;
    Fd in{open_input(path, &known)};
    // Read into the bytes object itself: a million-node results.json is 300 MB, and a
    // second copy of it would be the read's peak memory.
    struct Buffer {
        PyObject* obj = nullptr;
        ~Buffer() { Py_XDECREF(obj); }
    } buf;
    Py_ssize_t cap = path.is_none() ? Py_ssize_t(1) << 20 : Py_ssize_t(known) + 1;
    buf.obj = PyBytes_FromStringAndSize(nullptr, cap);
    if (!buf.obj) throw nb::python_error();
    Py_ssize_t used = 0;
    constexpr Py_ssize_t kChunk = Py_ssize_t(1) << 20;
    while (true) {
        if (used > kMaxInput) {
            PyErr_Format(PyExc_ValueError, "holds more than the %lld bytes read at most",
                         kMaxInput);
            throw nb::python_error();
        }
        if (used == cap) {
            cap = std::min<Py_ssize_t>(cap * 2, Py_ssize_t(kMaxInput) + 1);
            if (_PyBytes_Resize(&buf.obj, cap) < 0) throw nb::python_error();
        }
        char* at = PyBytes_AS_STRING(buf.obj) + used;
        size_t room = size_t(std::min(cap - used, kChunk));
        ssize_t got;
        int err = 0;
        Py_BEGIN_ALLOW_THREADS;
        got = ::read(in.fd, at, room);
        if (got < 0) err = errno;
        Py_END_ALLOW_THREADS;
        if (got == 0) break;
        if (got < 0 && err != EINTR) raise_os_error(err, path.is_none() ? nullptr : path.ptr());
        if (got > 0) used += got;
        // between chunks, and after EINTR: a signal's handler may raise (Ctrl-C)
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
    }
    if (_PyBytes_Resize(&buf.obj, used) < 0) throw nb::python_error();
    PyObject* done = buf.obj;
    buf.obj = nullptr;
    return nb::steal<nb::bytes>(done);
}

// --- log files ------------------------------------------------------------------------------

bool LogDir::file_name(PyObject* name, std::string& out) {
    if (!PyUnicode_Check(name)) return false;
    PyObject* raw = PyUnicode_EncodeFSDefault(name);
    if (!raw) {
        // a lone surrogate the file system's encoding cannot give: no such file
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    out.assign(PyBytes_AS_STRING(raw), size_t(PyBytes_GET_SIZE(raw)));
    Py_DECREF(raw);
    return true;
}

void LogDir::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    name_.clear();
}

LogDir::Open LogDir::open(const std::string& name) {
    if (fd_ >= 0 && name == name_) return Open::Ok;
    close();
    error_ = 0;
    path_ = name;
    // A position names a file in the directory by its base name; anything else (a path,
    // "..") would read outside it.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return Open::Refused;
    for (const std::string& dir : dirs_) {
        path_ = dir.empty() ? name : dir + "/" + name;
        const char* refusal = nullptr;
        long long size = 0;
        int fd = open_regular(AT_FDCWD, path_.c_str(), true, &size, &refusal);
        if (fd < 0) {
            if (refusal || errno == ENOENT || errno == ENOTDIR) continue;
            error_ = errno;
            return Open::Failed;
        }
        fd_ = fd;
        name_ = name;
        size_ = size;
        return Open::Ok;
    }
    return Open::Refused;
}

std::vector<std::string> LogDir::dirs_of(PyObject* arg) {
    std::vector<std::string> dirs;
    if (arg == nullptr || arg == Py_None) return dirs;
    nb::object items;
    if (PyList_Check(arg) || PyTuple_Check(arg)) {
        // a copy: converting a path can run its __fspath__, which could change the list
        items = check(PySequence_Tuple(arg));
    } else {
        items = check(PyTuple_Pack(1, arg));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        PyObject* raw = nullptr;
        if (!PyUnicode_FSConverter(PyTuple_GET_ITEM(items.ptr(), i), &raw))
            throw nb::python_error();
        nb::object encoded = nb::steal(raw);
        dirs.emplace_back(PyBytes_AS_STRING(raw), size_t(PyBytes_GET_SIZE(raw)));
    }
    return dirs;
}

bool LogDir::read(long long begin, long long want, std::string& out) {
    out.clear();
    if (fd_ < 0 || begin < 0 || want <= 0 || begin >= size_) return true;
    // begin < size_ <= LLONG_MAX, so size_ - begin cannot overflow, nor can begin + n.
    long long n = std::min(want, size_ - begin);
    out.resize(size_t(n));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t r = ::pread(fd_, &out[got], out.size() - got, off_t(begin + (long long)got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            error_ = errno;
            out.resize(got);
            return false;
        }
        if (r == 0) break; // shorter now than when it was opened
        got += size_t(r);
    }
    out.resize(got);
    return true;
}

} // namespace korvo::files
