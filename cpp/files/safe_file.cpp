#include "files/safe_file.hpp"

#include <Python.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvo::files {

namespace nb = nanobind;

namespace {

// Longest part of the target's name kept in a helper file's name, so that the helper
// name stays within NAME_MAX.
constexpr size_t kNameStemLimit = 200;
constexpr int kNameAttempts = 100;
// Files at least this big leave the page cache once flushed; smaller ones stay, cheap to
// keep and likely read again soon.
constexpr size_t kCachedFileLimit = 16u << 20;

// os.fspath(path): the object named in errors.
nb::object fs_path(nb::handle path) {
    PyObject* out = PyOS_FSPath(path.ptr());
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

// The path encoded as the file system wants it (embedded NULs refused).
std::string encoded(nb::handle path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &raw)) throw nb::python_error();
    nb::object owner = nb::steal(raw);
    return std::string(PyBytes_AS_STRING(raw), (size_t)PyBytes_GET_SIZE(raw));
}

[[noreturn]] void raise_errno(int err, nb::handle path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw nb::python_error();
}

// A name beside `name` that nobody can guess ahead of us: ".<name>.<64 random bits><suffix>".
std::string helper_name(const std::string& name, const char* suffix) {
    std::random_device entropy;
    uint64_t bits = ((uint64_t)entropy() << 32) ^ entropy();
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)bits);
    return "." + name.substr(0, kNameStemLimit) + "." + hex + suffix;
}

bool fsync_unsupported(int err) {
    return err == EINVAL || err == EROFS;
}

} // namespace

ReplacementFile::ReplacementFile(nb::handle path) : path_(fs_path(path)) {
    std::string full = encoded(path_);
    if (full.empty()) fail(ENOENT);
    size_t slash = full.rfind('/');
    std::string dir = slash == std::string::npos ? "." : full.substr(0, slash == 0 ? 1 : slash);
    name_ = slash == std::string::npos ? full : full.substr(slash + 1);
    if (name_.empty() || name_ == "." || name_ == "..") fail(EISDIR);

    dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) fail(errno);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = helper_name(name_, ".tmp");
        fd_ = ::openat(dir_fd_, candidate.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temp_name_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) break;
    }
    int err = errno;
    ::close(dir_fd_);
    dir_fd_ = -1;
    fail(err);
}

ReplacementFile::~ReplacementFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_name_.empty()) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

void ReplacementFile::fail(int err) const {
    raise_errno(err, path_);
}

void ReplacementFile::write(const char* data, size_t n) {
    if (fd_ < 0) fail(EBADF);
    while (n > 0) {
        size_t chunk = n > (size_t)SSIZE_MAX ? (size_t)SSIZE_MAX : n;
        ssize_t done;
        int err;
        {
            nb::gil_scoped_release unlocked;
            done = ::write(fd_, data, chunk);
            err = errno;
        }
        if (done < 0) {
            if (err != EINTR) fail(err);
            if (PyErr_CheckSignals() < 0) throw nb::python_error();
            continue;
        }
        data += done;
        n -= (size_t)done;
        written_ += (size_t)done;
    }
}

void ReplacementFile::finish_temp() {
    if (fd_ < 0) fail(EBADF);
    struct stat old;
    if (::fstatat(dir_fd_, name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode)) {
        // Only the owner or root may give a file away; anyone else keeps their own.
        (void)::fchown(fd_, old.st_uid, old.st_gid);
        if (::fchmod(fd_, old.st_mode & 0777) != 0) fail(errno);
    }
    int status, err;
    {
        nb::gil_scoped_release unlocked;
        status = ::fsync(fd_);
        err = errno;
    }
    if (status != 0) fail(err);
    // On the disk now, a big file's pages need not stay in memory: the gigabytes of a large
    // job's outputs left cached made every page the process faulted in afterwards dearer
    // (the export after results.yaml and results.json spent twice the system time).
    if (written_ >= kCachedFileLimit) (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
}

void ReplacementFile::install() {
    if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, name_.c_str()) != 0) fail(errno);
    committed_ = true;
}

namespace {

void sync_directory(int dir_fd, nb::handle path) {
    if (::fsync(dir_fd) != 0 && !fsync_unsupported(errno)) raise_errno(errno, path);
}

} // namespace

void ReplacementFile::commit() {
    finish_temp();
    install();
    sync_directory(dir_fd_, path_);
}

void commit_together(ReplacementFile* const* files, size_t count, size_t* failed) {
    for (size_t i = 0; i < count; ++i) {
        if (failed) *failed = i;
        files[i]->finish_temp();
    }

    // A second name for each target that exists, to put it back if a later rename fails.
    enum class Previous { Absent, Kept, Unknown };
    std::vector<Previous> previous(count, Previous::Absent);
    std::vector<std::string> backup(count);
    auto drop_backups = [&](size_t from) {
        for (size_t i = from; i < count; ++i)
            if (previous[i] == Previous::Kept) ::unlinkat(files[i]->dir_fd_, backup[i].c_str(), 0);
    };
    for (size_t i = 0; i < count; ++i) {
        ReplacementFile& f = *files[i];
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            std::string candidate = helper_name(f.name_, ".old");
            // Without AT_SYMLINK_FOLLOW a link in the target's place is kept as the link.
            if (::linkat(f.dir_fd_, f.name_.c_str(), f.dir_fd_, candidate.c_str(), 0) == 0) {
                previous[i] = Previous::Kept;
                backup[i] = std::move(candidate);
                break;
            }
            if (errno == EEXIST) continue;
            // Absent, or a file we may not link to: replaced without a way back.
            previous[i] = errno == ENOENT ? Previous::Absent : Previous::Unknown;
            break;
        }
    }

    for (size_t i = 0; i < count; ++i) {
        ReplacementFile& f = *files[i];
        if (::renameat(f.dir_fd_, f.temp_name_.c_str(), f.dir_fd_, f.name_.c_str()) == 0) {
            f.committed_ = true;
            continue;
        }
        int err = errno;
        for (size_t j = i; j-- > 0;) {
            ReplacementFile& done = *files[j];
            if (previous[j] == Previous::Kept)
                ::renameat(done.dir_fd_, backup[j].c_str(), done.dir_fd_, done.name_.c_str());
            else if (previous[j] == Previous::Absent)
                ::unlinkat(done.dir_fd_, done.name_.c_str(), 0);
        }
        drop_backups(i);
        if (failed) *failed = i;
        f.fail(err);
    }
    drop_backups(0);
    for (size_t i = 0; i < count; ++i)
        sync_directory(files[i]->dir_fd_, files[i]->path_);
}

void write_file(nb::handle path, const char* data, size_t n) {
    ReplacementFile file(path);
    file.write(data, n);
    file.commit();
}

int open_for_append(nb::handle path, bool mappable) {
    nb::object named = fs_path(path);
    std::string full = encoded(named);
    // Positioned at the end once rather than with O_APPEND, which costs every small write a
    // third more; the file has a single writer.
    int flags = O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(full.c_str(), (mappable ? O_RDWR : O_WRONLY) | flags, 0666);
    // A file one may write but not read is appended to without a mapping.
    if (fd < 0 && mappable && errno == EACCES) fd = ::open(full.c_str(), O_WRONLY | flags, 0666);
    if (fd < 0) raise_errno(errno, named);
    if (::lseek(fd, 0, SEEK_END) < 0) {
        int err = errno;
        ::close(fd);
        raise_errno(err, named);
    }
    return fd;
}

} // namespace korvo::files
