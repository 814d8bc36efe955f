// A flat hash map keyed by object address: the journal looks one up for every attribute
// set on a node, so it must be cheaper than a node-based map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvo::campaign::journal {

template <typename V> class PointerMap {
  public:
    PointerMap() : slots_(16) {}

    V* find(const void* key) {
        if (size_ == 0) return nullptr;
        for (size_t i = index(key);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (s.key == key) return &s.value;
            if (!s.key) return nullptr;
        }
    }

    // Inserts or replaces; returns true when the key was new.
    bool put(const void* key, const V& value) {
        // At most half full: most lookups miss or find a key met long ago, and a miss under
        // linear probing reads a run whose mean length grows fast beyond that.
        if ((size_ + 1) * 2 > slots_.size()) grow();
        for (size_t i = index(key);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (s.key == key) {
                s.value = value;
                return false;
            }
            if (!s.key) {
                s.key = key;
                s.value = value;
                ++size_;
                return true;
            }
        }
    }

    void erase(const void* key) {
        size_t i = index(key);
        while (slots_[i].key != key) {
            if (!slots_[i].key) return;
            i = (i + 1) & mask();
        }
        // Backward-shift deletion keeps every probe run unbroken without tombstones.
        for (size_t j = (i + 1) & mask(); slots_[j].key; j = (j + 1) & mask()) {
            size_t home = index(slots_[j].key);
            bool movable = (j > i) ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Slot{};
        --size_;
    }

    size_t size() const { return size_; }
    void clear() {
        slots_.assign(16, Slot{});
        size_ = 0;
    }

  private:
    struct Slot {
        const void* key = nullptr;
        V value{};
    };

    size_t mask() const { return slots_.size() - 1; }
    // Objects made close together in time lie close together in memory and are looked up
    // close together in time (a node's mapping written at its start, again at its stop):
    // within each 16 MiB block of addresses neighbours get neighbouring slots, which keeps
    // those lookups in cache; the blocks themselves are scattered.
    size_t index(const void* key) const {
        auto a = uint64_t(reinterpret_cast<uintptr_t>(key));
        return size_t((a >> 4) + (a >> 24) * 0x9E3779B97F4A7C15ull) & mask();
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_ = 0;
        for (const Slot& s : old)
            if (s.key) put(s.key, s.value);
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
};

} // namespace korvo::campaign::journal
