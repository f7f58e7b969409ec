// Map from an IFC instance number to a position in a side array, for the
// reader's lookups by "#number".
//
// One flat open-addressing table with linear probing, sized once for the
// most keys it can receive (the reader counts the point keywords first) and
// kept at most half full: 12 bytes a slot, so 24 bytes a key, and no
// rehash while reading. IFC files number their entities mostly in file
// order and a loop names points defined a few lines earlier, so the eight
// numbers of a run (number / 8) start at consecutive slots: with dense
// numbering the lookups of one loop mostly share a cache line. The run's
// home slot is mixed with a per-table random seed, so no choice of numbers
// can make lookups collide. Never iterated: nothing depends on the slot order.
#pragma once

#include <cstdint>
#include <memory>

namespace kovalith::ifc {

class InstanceTable {
 public:
  // Room for `max_keys` keys; more are accepted, at the cost of a rehash.
  explicit InstanceTable(std::size_t max_keys);

  static constexpr std::uint32_t absent = ~std::uint32_t{0};

  // The position stored under `key`, or `absent`.
  std::uint32_t find(std::uint64_t key);
  // Stores `position` (below 2^32 - 1) under `key`, which must be absent.
  void insert(std::uint64_t key, std::uint32_t position);

 private:
  static constexpr unsigned run_bits_ = 3;

  std::size_t home(std::uint64_t key);
  void allocate(std::size_t capacity);
  void grow();

  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  // Key and position side by side, so that a probe reads one cache line.
  struct __attribute__((packed)) Slot {
    std::uint64_t key;
    std::uint32_t position_plus_one;  // 0 = empty
  };
  std::unique_ptr<Slot[]> slots_;
  std::uint64_t seed_;
  bool recent_valid_ = false;
  std::uint64_t recent_run_ = 0;
  std::size_t recent_start_ = 0;
};

}  // namespace kovalith::ifc
