// Appending to a file through a shared mapping of it, for a journal's one writer. A store
// into the mapping is in the page cache at once, so a process killed at any moment loses
// nothing it stored, without a system call per append. The file is grown ahead of the
// appends a chunk at a time with its blocks reserved, so a full disk fails a growth (an
// error) and never a store (SIGBUS); until finish() cuts the file to what was appended, it
// ends in zeros that are not written yet, which readers of the file must take as such.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvo::files {

class AppendMap {
  public:
    // Grows and maps the file open as `fd` (for reading and writing) for appends from offset
    // `at` on. 0, or an errno: the caller then appends with write(2) instead.
    int start(int fd, uint64_t at);
    bool active() const { return map_ != nullptr; }

    // Appends `n` bytes, the last one stored after the others: a reader that sees the last
    // byte of a line sees the whole line. 0, or the errno of growing the file (nothing of
    // the bytes is stored then). EOPNOTSUPP: the file cannot grow this way; the mapping has
    // ended as by finish() and the caller writes these bytes and the rest with write(2).
    int append(const char* data, size_t n);
    // Where the next append goes.
    uint64_t end() const { return end_; }

    // Unmaps, cuts the file to what was appended and positions it there. 0 or an errno.
    int finish();
    // In a forked child: forgets the mapping, which the child has no copy of, and leaves
    // the file alone.
    void forsake();

    AppendMap() = default;
    AppendMap(const AppendMap&) = delete;
    AppendMap& operator=(const AppendMap&) = delete;
    ~AppendMap();

  private:
    // Maps a window that holds `n` more bytes from end_, growing the file as needed.
    int remap(size_t n);
    void unmap();

    int fd_ = -1;
    char* map_ = nullptr;
    size_t map_len_ = 0;
    uint64_t map_at_ = 0;    // the file offset of map_[0]
    uint64_t end_ = 0;       // the bytes appended, from the file's start
    uint64_t allocated_ = 0; // the file's size: end_ and the zeros after it
};

} // namespace korvo::files
