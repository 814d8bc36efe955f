#include "campaign/journal/journal_lines.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign/journal/crc32.hpp"
#include "campaign/journal/json_cursor.hpp"
#include "campaign/journal/record_format.hpp"
#include "files/input_file.hpp"

namespace korvo::campaign::journal {

namespace {

constexpr size_t kReadPiece = size_t(1) << 20;
// The checksum of a long line is taken in pieces, Ctrl-C honoured between them.
constexpr size_t kChecksumPiece = size_t(16) << 20;
// A header is one short object; a first line longer than this is no header.
constexpr size_t kMaxHeaderBytes = 4096;

[[noreturn]] void raise_os_error(PyObject* path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw nb::python_error();
}

void poll_signals() {
    if (PyErr_CheckSignals() < 0) throw nb::python_error();
}

} // namespace

JournalLines::JournalLines(PyObject* path, bool follow) : path_(nb::borrow(path)), follow_(follow) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) throw nb::python_error();
    nb::object encoded = nb::steal(raw);
    // Opened as every input is (non-blocking, regular files only), so the refusals read the
    // same whichever command meets the file.
    long long size = 0;
    const char* refusal = nullptr;
    int fd;
    do {
        Py_BEGIN_ALLOW_THREADS fd =
            files::open_regular(AT_FDCWD, PyBytes_AS_STRING(raw), follow, &size, &refusal);
        Py_END_ALLOW_THREADS
    } while (fd < 0 && !refusal && errno == EINTR && (poll_signals(), true));
    if (fd < 0 && refusal) {
        std::string what = std::string("is ") + refusal + ", not a regular file";
        refuse(what.c_str());
    }
    if (fd < 0) raise_os_error(path);
    fd_ = fd;
    if (uint64_t(size) > kMaxJournalBytes) refuse("larger than 16 GiB, the journal size cap");

    if (!read_header() && !follow_) refuse("not a korvo-reporter journal (no valid header line)");
}

bool JournalLines::read_header() {
    size_t nl;
    while ((nl = buf_.find('\n')) == std::string::npos && buf_.size() < kMaxHeaderBytes && fill()) {
    }
    if (nl == std::string::npos && follow_ && buf_.size() < kMaxHeaderBytes) return false;
    std::string_view header(buf_.data(), nl == std::string::npos ? 0 : nl);
    if (header.substr(0, sizeof kHeaderStart - 1) != kHeaderStart || !checksum_holds(header, '}'))
        refuse("not a korvo-reporter journal (no valid header line)");
    long long version = std::atoll(header.data() + sizeof kHeaderStart - 1);
    if (version != kFormatVersion) {
        PyErr_Format(PyExc_ValueError, "journal format version %lld is not supported: %R", version,
                     path_.ptr());
        throw nb::python_error();
    }
    start_ = scanned_ = nl + 1;
    header_read_ = true;
    return true;
}

JournalLines::~JournalLines() {
    if (fd_ >= 0) ::close(fd_);
}

void JournalLines::refuse(const char* what) {
    PyErr_Format(PyExc_ValueError, "%s: %R", what, path_.ptr());
    throw nb::python_error();
}

bool JournalLines::fill() {
    if (eof_) return false;
    // The lines before start_ are done with: drop them before the buffer grows.
    if (start_ > 0 && start_ >= buf_.size() / 2) {
        buf_.erase(0, start_);
        buf_base_ += start_;
        scanned_ -= start_;
        start_ = 0;
    }
    size_t had = buf_.size();
    buf_.resize(had + kReadPiece);
    ssize_t got;
    while (true) {
        Py_BEGIN_ALLOW_THREADS got = ::read(fd_, &buf_[had], kReadPiece);
        Py_END_ALLOW_THREADS if (got >= 0 || errno != EINTR) break;
        poll_signals();
    }
    if (got < 0) {
        buf_.resize(had);
        raise_os_error(path_.ptr());
    }
    buf_.resize(had + size_t(got));
    poll_signals();
    if (got == 0) eof_ = !follow_; // a followed file may grow again
    if (follow_) {
        unwritten_from_ = UINT64_MAX;
        if (got > 0) return hold_back_unwritten(had);
    }
    return got > 0;
}

// A writer that maps the file grows it ahead of its records, so a followed file may end in
// zeros not written yet: they are read again next time rather than kept. The writer stores a
// line before its line break, yet a read racing it can still see a NUL byte before a line
// break; only one seen there by two reads is what the file holds (damage, once more follows).
bool JournalLines::hold_back_unwritten(size_t had) {
    auto* nul = static_cast<char*>(std::memchr(&buf_[had], 0, buf_.size() - had));
    if (!nul) {
        nul_seen_at_ = UINT64_MAX;
        return true;
    }
    size_t keep = size_t(nul - buf_.data());
    uint64_t at = buf_base_ + keep;
    auto* line_break = static_cast<char*>(std::memchr(nul, '\n', buf_.size() - keep));
    if (line_break && at == nul_seen_at_) {
        keep = size_t(line_break - buf_.data()) + 1;
        nul_seen_at_ = UINT64_MAX;
    } else {
        nul_seen_at_ = line_break ? at : UINT64_MAX;
        unwritten_from_ = at;
    }
    buf_.resize(keep);
    if (::lseek(fd_, off_t(buf_base_ + keep), SEEK_SET) < 0) raise_os_error(path_.ptr());
    return keep > had;
}

bool JournalLines::rest_unwritten() {
    // A writer reserves less than a line's length ahead: zeros past that are no such room.
    uint64_t from = buf_base_ + start_;
    while (true) {
        for (size_t i = start_; i < buf_.size(); ++i)
            if (buf_[i] != 0) return false;
        start_ = scanned_ = buf_.size(); // the zeros are done with
        if (buf_base_ + buf_.size() - from > kMaxLineBytes) return false;
        if (!fill()) return true;
    }
}

bool JournalLines::checksum_holds(std::string_view line, char closing) {
    if (line.size() < kChecksumTail + 1 || line.back() != closing) return false;
    size_t at = line.size() - kChecksumTail;
    if (line[at] != '"' || line[at + 9] != '"') return false;
    uint32_t stated = 0;
    for (size_t i = at + 1; i < at + 9; ++i) {
        int d = hex_digit(line[i]);
        if (d < 0) return false;
        stated = stated << 4 | uint32_t(d);
    }
    uint32_t crc = chain_;
    for (size_t done = 0; done < at; done += kChecksumPiece) {
        if (done) poll_signals();
        crc = crc32(crc, line.data() + done, std::min(kChecksumPiece, at - done));
    }
    if (crc != stated) return false;
    chain_ = stated;
    return true;
}

bool JournalLines::next(std::string_view& line) {
    if (damage_) return false;
    if (!header_read_ && !read_header()) return false;
    size_t nl;
    // scanned_ is kept across calls, so a line the writer is still writing is searched once.
    while ((nl = buf_.find('\n', scanned_)) == std::string::npos) {
        scanned_ = buf_.size();
        if (buf_base_ + buf_.size() > kMaxJournalBytes) {
            damage_ = "the journal runs on past 16 GiB, the journal size cap";
            break;
        }
        if (buf_.size() - start_ > kMaxLineBytes) {
            damage_ = "line longer than 1 GiB, the line length cap";
            break;
        }
        if (!fill()) return false; // torn: the writer died inside this line, or is in it
    }
    ++line_number_;
    line_offset_ = buf_base_ + start_;
    if (damage_) return false;
    line = std::string_view(buf_.data() + start_, nl - start_);
    size_t line_start = start_;
    start_ = scanned_ = nl + 1;
    if (checksum_holds(line, ']')) return true;
    if (follow_ && start_ == buf_.size()) {
        // The last line so far: it is damage only once more follows it, so until then it
        // stays unread.
        start_ = scanned_ = line_start;
        if (!fill()) {
            --line_number_;
            return false;
        }
        damage_ = "checksum mismatch";
        return false;
    }
    // A bad last line is a torn one, as is one that only zeros follow (the unwritten end of
    // a file its writer mapped, read while the line was stored); before the end it is damage.
    if (follow_ || !rest_unwritten()) damage_ = "checksum mismatch";
    return false;
}

} // namespace korvo::campaign::journal
