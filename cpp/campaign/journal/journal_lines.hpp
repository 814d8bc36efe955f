// The journal file as record lines whose checksum chain holds: how a journal from anywhere is
// opened and read. Only a regular file is read (a FIFO or device is refused before a byte is
// read), in bounded pieces with Ctrl-C honoured between them, and within two caps:
// kMaxJournalBytes for the file and kMaxLineBytes for one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/py_support.hpp"

namespace korvo::campaign::journal {

// Far larger than any journal a job of ours writes (a million-node demo job writes 450 MB);
// a file beyond it is refused unread.
constexpr uint64_t kMaxJournalBytes = uint64_t(16) << 30;
// One line holds one operation's changes, or the tree that attach found (a million nodes fit
// in a few hundred MiB); a line that runs on past this is damage.
constexpr size_t kMaxLineBytes = size_t(1) << 30;

class JournalLines {
  public:
    // Opens the journal and checks its header: OSError when it cannot be opened, ValueError
    // when it is not a regular file, is larger than kMaxJournalBytes or has no valid header.
    explicit JournalLines(PyObject* path) : JournalLines(path, false) {}
    // With `follow`, the file is one a job is still writing: a link is refused, a header not
    // yet complete is waited for, and the end of the file is only where the writer is now:
    // next() reads on past it on each call, and holds a last line that is torn or fails its
    // checksum until more follows it (then it is damage).
    JournalLines(PyObject* path, bool follow);
    ~JournalLines();
    JournalLines(const JournalLines&) = delete;
    JournalLines& operator=(const JournalLines&) = delete;

    // The next record line (without its line break) whose checksum continues the chain; false
    // at the end, at a torn last line (the writer died inside it, so it is ignored), or at a
    // damaged line, which damage() then describes.
    bool next(std::string_view& line);
    // The number (the header is 1) and byte offset of the line last returned or found damaged.
    size_t line_number() const { return line_number_; }
    uint64_t line_offset() const { return line_offset_; }
    const char* damage() const { return damage_; }
    // How many bytes of the file were read so far.
    uint64_t bytes_read() const { return buf_base_ + buf_.size(); }
    // Following: where the zeros that end the file began when it was last read (a writer
    // that maps the file grows it ahead of its records), or UINT64_MAX when none did.
    uint64_t unwritten_from() const { return unwritten_from_; }
    int fd() const { return fd_; }

  private:
    // Reads more of the file onto the buffer; false at its end.
    bool fill();
    // Reads and checks the header line; false while a following reader waits for it.
    bool read_header();
    bool checksum_holds(std::string_view line, char closing);
    // Following: keeps what was just read (from buf_[had] on) only up to the first NUL byte.
    bool hold_back_unwritten(size_t had);
    // Whether the file holds only NUL bytes from start_ to its end (reading on to see).
    bool rest_unwritten();
    [[noreturn]] void refuse(const char* what);

    nb::object path_;
    int fd_ = -1;
    std::string buf_;
    size_t start_ = 0;      // where the unread lines begin in buf_
    uint64_t buf_base_ = 0; // the file offset of buf_[0]
    bool eof_ = false;
    bool follow_ = false;
    bool header_read_ = false;
    size_t scanned_ = 0; // buf_ before this offset holds no line break after start_
    uint32_t chain_ = 0;
    size_t line_number_ = 1;
    uint64_t line_offset_ = 0;
    const char* damage_ = nullptr;
    uint64_t unwritten_from_ = UINT64_MAX;
    // Following: a NUL byte seen before a line break, which the next read must see again
    // before it is taken for what the file holds.
    uint64_t nul_seen_at_ = UINT64_MAX;
};

} // namespace korvo::campaign::journal
