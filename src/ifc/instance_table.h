// Map from an IFC instance number to a position in a side array, for the
// reader's lookups by "#number".
//
// IFC files number their entities mostly in file order, and a loop names
// points defined a few lines earlier, so numbers are grouped into runs of
// eight consecutive values: a hash table maps a run to a block of eight
// positions, and blocks are allocated in order of first use. A loop's
// references then mostly fall into the block just used (remembered, so no
// hash lookup at all) and consecutive points fill neighbouring memory.
//
// The run hash is open addressing with linear probing, at most half full,
// keys mixed with a per-table random seed so that no choice of numbers can
// make lookups collide. Never iterated: nothing depends on the slot order.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace kovalith::ifc {

class InstanceTable {
 public:
  InstanceTable();

  // The position stored under `key`, or nullptr.
  std::uint64_t* find(std::uint64_t key);
  // Stores `position` under `key`, which must be absent.
  void insert(std::uint64_t key, std::uint64_t position);

 private:
  static constexpr std::uint64_t empty_ = ~std::uint64_t{0};
  static constexpr unsigned run_bits_ = 3;
  using Block = std::array<std::uint64_t, std::size_t{1} << run_bits_>;
  struct Slot {
    std::uint64_t run = 0;
    std::uint64_t block = empty_;
  };

  // Index of the block of `run`, or empty_.
  std::uint64_t find_block(std::uint64_t run);
  std::uint64_t add_block(std::uint64_t run);
  std::size_t home(std::uint64_t run) const;
  void grow();

  std::vector<Slot> slots_;
  std::vector<Block> blocks_;
  std::uint64_t seed_;
  bool recent_valid_ = false;
  std::uint64_t recent_run_ = 0;
  std::uint64_t recent_block_ = 0;
};

}  // namespace kovalith::ifc
