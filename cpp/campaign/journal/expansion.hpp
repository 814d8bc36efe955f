// How large a replayed tree's values become when written out. The journal writes a list or
// dict held in several places once and refers to it after, and every writer of results
// spells it out in each place, so a few bytes of references can stand for an endless
// document; recovery refuses a journal whose values grow past kMaxExpansion times its size.
#pragma once

#include <cstdint>
#include <vector>

#include "common/py_support.hpp"

namespace korvo::campaign::journal {

// Far above what sharing in a real job gives (one parameter dict in every test's extra).
constexpr uint64_t kMaxExpansion = 64;
// A floor, so a small journal may still share a moderately large value many times.
constexpr uint64_t kMinExpansionBytes = uint64_t(16) << 20;

// Raises ValueError when the attribute values of `nodes`, each shared list, dict or tuple
// counted once per place it is held, come to more than kMaxExpansion times `file_bytes`
// (and kMinExpansionBytes) of text. One pass without recursion: each container's items are
// read once, a container held inside itself counts once.
void check_expansion(const std::vector<nb::object>& nodes, uint64_t file_bytes);

} // namespace korvo::campaign::journal
