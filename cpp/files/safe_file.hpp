// The one way this package writes files. The directory a file lives in may be writable by
// others, so nothing here follows a link that stands in a file's place, uses a predictable
// name, or touches anything outside that directory.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>

namespace korvo::files {

// A new file that replaces `target` when committed. The temp file is created inside the
// target's directory with an unpredictable name, O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, mode
// from the umask. Nothing outside that directory is created, written, renamed or chmod-ed; a
// symlink standing in the target's place is replaced itself (never its target). A replaced
// regular file's permission bits (0777 mask only) and, when the process may, owner and group
// are kept. A file of 16 MiB or more leaves the page cache once flushed. Errors raise OSError
// (nb::python_error) naming the target path.
class ReplacementFile {
  public:
    explicit ReplacementFile(nanobind::handle path); // str, bytes or os.PathLike
    void write(const char* data, size_t n);          // GIL released around each write(2)
    void commit();                                   // fsync, keep mode/owner, rename, fsync dir
    ~ReplacementFile();                              // unlinks the temp unless committed

    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

  private:
    friend void commit_together(ReplacementFile* const* files, size_t count, size_t* failed);

    [[noreturn]] void fail(int err) const;
    void finish_temp(); // fsync, take over mode/owner, close
    void install();     // rename over the target, fsync the directory

    nanobind::object path_; // os.fspath(path), named in errors
    std::string name_;      // the target's name inside its directory
    std::string temp_name_;
    int dir_fd_ = -1;
    int fd_ = -1;
    size_t written_ = 0;
    bool committed_ = false;
};

// Replaces several files so that after a failure every target is as it was: all files are
// written and flushed first, then renamed; a failed rename puts back the targets already
// replaced. Errors raise OSError naming the file that failed, whose index goes to `*failed`.
void commit_together(ReplacementFile* const* files, size_t count, size_t* failed = nullptr);

void write_file(nanobind::handle path, const char* data, size_t n); // one-shot replace

// Journal-style append by its one writer: O_WRONLY|O_CREAT|O_NOFOLLOW|O_CLOEXEC, positioned at
// the end; returns the fd (caller closes). `mappable`: opened for reading too (O_RDWR), as a
// shared mapping of the file (AppendMap) needs, where the file's permissions allow it.
int open_for_append(nanobind::handle path, bool mappable = false);

} // namespace korvo::files
