// The one way this package opens files that come from elsewhere: results documents and
// journals (CI artifacts, shards, what a killed job left) and the log files beside them.
// Nothing here waits on a FIFO or a device, reads without end, or, inside a log directory,
// follows a link or leaves the directory.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace korvo::files {

// The most a results document, a journal or standard input may hold; the tree such a
// file makes takes ten times as much memory.
constexpr long long kMaxInput = 4LL << 30;

// Opens `name` (relative to `dir_fd`, or AT_FDCWD) for reading: non-blocking, and without
// following a link in its last part when `no_follow`. Returns the fd with the file's size
// in `*size`; -1 with errno set when it cannot be opened, or -1 with `*refusal` naming
// what it is ("a FIFO", "a directory", ...) when it is not a regular file.
int open_regular(int dir_fd, const char* name, bool no_follow, long long* size,
                 const char** refusal);

// The whole input at `path` (str, bytes or os.PathLike; None: standard input), at most
// kMaxInput bytes; Ctrl-C is looked at between chunks. OSError naming the path when it
// cannot be read; ValueError with the reason alone ("is a FIFO, not a regular file") when
// it is refused.
nanobind::bytes read_input(nanobind::handle path);

// Raises as read_input would, without reading: for inputs another reader then takes.
void check_input(nanobind::handle path);

// Log files named by the nodes' log positions, read from a list of directories (a merged
// job's shards each keep theirs): a name is looked up in each in turn and the first that
// holds it wins. A name is a base name (no '/', not "." or ".."); a link, FIFO, device or
// directory of that name is never read, and the search goes on to the next directory. One
// file is open at a time.
class LogDir {
  public:
    explicit LogDir(std::vector<std::string> dirs) : dirs_(std::move(dirs)) {}
    explicit LogDir(std::string dir) : dirs_{std::move(dir)} {}
    ~LogDir() { close(); }
    LogDir(const LogDir&) = delete;
    LogDir& operator=(const LogDir&) = delete;

    // The directories `arg` names, in the file system's encoding: None gives none, a path
    // (str, bytes, os.PathLike) one, a list or tuple of paths each. TypeError otherwise.
    static std::vector<std::string> dirs_of(PyObject* arg);

    enum class Open { Ok, Refused, Failed };
    // Makes `name` the open file (kept open while the same name is asked again). Refused:
    // not a base name, or in no directory a regular file that is not a link. Failed: errno
    // in error(), for the first directory where the name could not be opened for another
    // reason (the search stops there: that file is the one the name means).
    Open open(const std::string& name);
    long long size() const { return size_; } // of the open file, when it was opened
    int error() const { return error_; }
    const std::string& path() const { return path_; } // of the last file asked for

    // Up to `want` bytes from `begin` of the open file, fewer where it ends: none when
    // `begin` lies at or past its end, whatever the numbers. False with errno in error()
    // when reading fails. Safe without the GIL.
    bool read(long long begin, long long want, std::string& out);

    // `name` as a log file name in `out` (the file system's encoding, as os.fsencode);
    // false, with no Python error left, for a name that cannot be one.
    static bool file_name(PyObject* name, std::string& out);

  private:
    void close();

    std::vector<std::string> dirs_;
    std::string name_; // of the open file
    std::string path_;
    int fd_ = -1;
    long long size_ = 0;
    int error_ = 0;
};

} // namespace korvo::files
