#include "campaign/html/log_slices.hpp"

#include <algorithm>

#include "files/input_file.hpp"

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

} // namespace

void LogSlices::want(uint32_t node, uint32_t file, long long begin, long long size, bool urgent) {
    if (begin < 0 || size < 0) {
        states_.emplace_back(node, SliceState::NoPosition);
        return;
    }
    wants_.push_back({node, file, begin, size, urgent});
}

void LogSlices::load(std::vector<std::string> dirs, const std::vector<std::string>& files) {
    files::LogDir logs(std::move(dirs));
    // Each file's size as it is now; -1: not read (missing, refused, unreadable).
    std::vector<long long> sizes(files.size(), -1);
    for (size_t i = 0; i < files.size(); ++i)
        if (logs.open(files[i]) == files::LogDir::Open::Ok) sizes[i] = logs.size();
    // Results that need a look first, each group in tree order, until the budget is spent.
    std::stable_sort(wants_.begin(), wants_.end(),
                     [](const Want& a, const Want& b) { return a.urgent && !b.urgent; });
    std::vector<RangeSet> ranges(files.size());
    long long spent = 0;
    for (const Want& w : wants_) {
        long long size = sizes[w.file];
        if (size < 0) {
            states_.emplace_back(w.node, SliceState::NoFile);
            continue;
        }
        // Nothing was printed, or the file is shorter now (also a position past any end).
        if (w.begin >= size) continue;
        long long end = w.begin + std::min({w.size, limits_.per_node, size - w.begin});
        if (end <= w.begin) continue;
        long long extra = ranges[w.file].uncovered(w.begin, end);
        if (extra > limits_.total - spent) {
            states_.emplace_back(w.node, SliceState::OverBudget);
            continue;
        }
        spent += extra;
        ranges[w.file].add(w.begin, end);
    }
    std::string bytes;
    for (size_t i = 0; i < files.size(); ++i) {
        if (ranges[i].ranges().empty() || logs.open(files[i]) != files::LogDir::Open::Ok) continue;
        for (const auto& [b, e] : ranges[i].ranges()) {
            if (!logs.read(b, e - b, bytes)) bytes.clear(); // gone unreadable since: shown empty
            chunks_.push_back({uint32_t(i), b, bytes});
        }
    }
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
