// The log slices a report page embeds: for each node with a log position, the bytes its
// log file grew by while it ran, capped per node and in total. Overlapping slices (a
// testcase and its steps) share their bytes: each file's wanted ranges are merged and
// embedded once as chunks, and the page cuts a node's slice out of the chunk holding it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "campaign/html/data_writer.hpp"

namespace korvo::campaign::html {

struct SliceLimits {
    long long per_node = 64 * 1024;
    long long total = 50LL * 1024 * 1024;
};

// Why a node's slice is not embedded.
enum class SliceState : int { Embedded = 0, NoFile = 1, OverBudget = 2, NoPosition = 3 };

class LogSlices {
  public:
    explicit LogSlices(SliceLimits limits) : limits_(limits) {}

    // A node's log position; `urgent` slices (results that need a look) are planned first.
    void want(uint32_t node, uint32_t file, long long begin, long long size, bool urgent);

    // Reads what fits from <dir>/<file name> for each of `files`, the first of `dirs` that
    // holds it, by the rules of files::LogDir (base names, no links, regular files only).
    // Runs without the GIL.
    void load(std::vector<std::string> dirs, const std::vector<std::string>& files);

    // "chunks":[[file,begin,"bytes"],...],"sliceState":{"node":state,...}
    void write(DataWriter& out) const;

  private:
    struct Want {
        uint32_t node, file;
        long long begin, size;
        bool urgent;
    };
    struct Chunk {
        uint32_t file;
        long long begin;
        std::string bytes;
    };

    SliceLimits limits_;
    std::vector<Want> wants_;
    std::vector<Chunk> chunks_;
    std::vector<std::pair<uint32_t, SliceState>> states_;
};

} // namespace korvo::campaign::html
