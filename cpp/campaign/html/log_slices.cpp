#include "campaign/html/log_slices.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace korvo::campaign::html {

namespace {

// Merged, non-overlapping byte ranges [begin, end) of one file.
class RangeSet {
  public:
    // Bytes of [b, e) not yet covered.
    long long uncovered(long long b, long long e) const {
        long long missing = e - b;
        auto it = ranges_.upper_bound(b);
        if (it != ranges_.begin()) --it;
        for (; it != ranges_.end() && it->first < e; ++it) {
            long long lo = std::max(b, it->first), hi = std::min(e, it->second);
            if (hi > lo) missing -= hi - lo;
        }
        return missing;
    }
    void add(long long b, long long e) {
        auto it = ranges_.upper_bound(b);
        if (it != ranges_.begin() && std::prev(it)->second >= b) --it;
        while (it != ranges_.end() && it->first <= e) {
            b = std::min(b, it->first);
            e = std::max(e, it->second);
            it = ranges_.erase(it);
        }
        ranges_.emplace(b, e);
    }
    const std::map<long long, long long>& ranges() const { return ranges_; }

  private:
    std::map<long long, long long> ranges_;
};

class OpenFile {
  public:
    explicit OpenFile(const std::string& path) {
        // O_NONBLOCK: a FIFO planted in the log directory must not hang the writer.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat info;
        if (fd_ >= 0 && (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) close();
        if (fd_ >= 0) size_ = info.st_size;
    }
    ~OpenFile() { close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    long long size() const { return size_; }
    // Up to `n` bytes at `offset`; fewer when the file is shorter now.
    std::string read(long long offset, long long n) const {
        std::string out(size_t(n), '\0');
        size_t done = 0;
        while (done < out.size()) {
            ssize_t got = ::pread(fd_, &out[done], out.size() - done, off_t(offset + done));
            if (got <= 0) break;
            done += size_t(got);
        }
        out.resize(done);
        return out;
    }

  private:
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
    long long size_ = 0;
};

} // namespace

void LogSlices::want(uint32_t node, uint32_t file, long long begin, long long size, bool urgent) {
    if (begin < 0 || size < 0) {
        states_.emplace_back(node, SliceState::NoPosition);
        return;
    }
    wants_.push_back({node, file, begin, size, urgent});
}

void LogSlices::load(const std::string& dir, const std::vector<std::string>& files) {
    std::vector<std::unique_ptr<OpenFile>> open(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& name = files[i];
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos)
            continue;
        open[i] = std::make_unique<OpenFile>(dir + "/" + name);
    }
    // Results that need a look first, each group in tree order, until the budget is spent.
    std::stable_sort(wants_.begin(), wants_.end(),
                     [](const Want& a, const Want& b) { return a.urgent && !b.urgent; });
    std::vector<RangeSet> ranges(files.size());
    long long spent = 0;
    for (const Want& w : wants_) {
        const OpenFile* f = open[w.file].get();
        if (!f || !f->ok()) {
            states_.emplace_back(w.node, SliceState::NoFile);
            continue;
        }
        long long end = std::min(w.begin + std::min(w.size, limits_.per_node), f->size());
        if (end <= w.begin) continue; // nothing was printed (or the file is shorter now)
        long long extra = ranges[w.file].uncovered(w.begin, end);
        if (spent + extra > limits_.total) {
            states_.emplace_back(w.node, SliceState::OverBudget);
            continue;
        }
        spent += extra;
        ranges[w.file].add(w.begin, end);
    }
    for (size_t i = 0; i < files.size(); ++i)
        for (const auto& [b, e] : ranges[i].ranges())
            chunks_.push_back({uint32_t(i), b, open[i]->read(b, e - b)});
    std::sort(states_.begin(), states_.end());
}

void LogSlices::write(DataWriter& out) const {
    out.raw("\"chunks\":[", 10);
    for (size_t i = 0; i < chunks_.size(); ++i) {
        if (i) out.raw(',');
        out.raw('[');
        out.integer(chunks_[i].file);
        out.raw(',');
        out.integer(chunks_[i].begin);
        out.raw(',');
        out.byte_string(chunks_[i].bytes.data(), chunks_[i].bytes.size());
        out.raw(']');
    }
    out.raw("],\"sliceState\":{", 16);
    for (size_t i = 0; i < states_.size(); ++i) {
        if (i) out.raw(',');
        out.raw('"');
        out.integer(states_[i].first);
        out.raw("\":", 2);
        out.integer(int(states_[i].second));
    }
    out.raw('}');
}

} // namespace korvo::campaign::html
