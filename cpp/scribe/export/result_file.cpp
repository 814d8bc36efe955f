#include "scribe/export/result_file.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace korvo::scribe {

namespace {

[[noreturn]] void raise_os_error(int err, PyObject* path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw nb::python_error();
}

// Removes the temporary file unless it was renamed into place.
struct TempFile {
    std::string name;
    int fd = -1;
    bool done = false;
    ~TempFile() {
        if (fd >= 0) ::close(fd);
        if (!done && !name.empty()) ::unlink(name.c_str());
    }
};

// A target that is a symbolic link is written where the link points, as an
// ordinary write through the link would.
std::string resolve_target(const char* target) {
    struct stat st;
    if (::lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(target, nullptr);
        if (real) {
            std::string out(real);
            std::free(real);
            return out;
        }
    }
    return target;
}

} // namespace

void write_result_file(PyObject* path, const char* data, size_t len) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) throw nb::python_error();
    nb::object fs_path = nb::steal(raw);
    std::string target = resolve_target(PyBytes_AS_STRING(raw));

    TempFile tmp;
    tmp.name = target + "." + std::to_string((long)::getpid()) + ".tmp";
    tmp.fd = ::open(tmp.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (tmp.fd < 0) {
        int err = errno;
        tmp.name.clear(); // nothing of ours to remove
        raise_os_error(err, path);
    }
    struct stat old;
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(tmp.fd, old.st_mode & 07777);

    size_t off = 0;
    while (off < len) {
        size_t chunk = len - off > (size_t)SSIZE_MAX ? (size_t)SSIZE_MAX : len - off;
        ssize_t n = ::write(tmp.fd, data + off, chunk);
        if (n < 0) {
            int err = errno;
            if (err == EINTR) {
                if (PyErr_CheckSignals() < 0) throw nb::python_error();
                continue;
            }
            raise_os_error(err, path);
        }
        off += (size_t)n;
    }
    if (::fsync(tmp.fd) != 0) raise_os_error(errno, path);
    int fd = tmp.fd;
    tmp.fd = -1;
    if (::close(fd) != 0) raise_os_error(errno, path);
    if (::rename(tmp.name.c_str(), target.c_str()) != 0) raise_os_error(errno, path);
    tmp.done = true;
}

} // namespace korvo::scribe
