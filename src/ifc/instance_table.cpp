#include "ifc/instance_table.h"

#include "support/hash_seed.h"

namespace kovalith::ifc {
namespace {

constexpr std::size_t initial_slots = 1024;

}  // namespace

InstanceTable::InstanceTable() : slots_(initial_slots), seed_(next_hash_seed()) {}

std::size_t InstanceTable::home(std::uint64_t run) const {
  return static_cast<std::size_t>(mix64(run ^ seed_)) & (slots_.size() - 1);
}

std::uint64_t InstanceTable::find_block(std::uint64_t run) {
  if (recent_valid_ && recent_run_ == run) return recent_block_;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(run);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.block == empty_) return empty_;
    if (slot.run == run) {
      recent_valid_ = true;
      recent_run_ = run;
      recent_block_ = slot.block;
      return slot.block;
    }
  }
}

std::uint64_t InstanceTable::add_block(std::uint64_t run) {
  // At most half full, so probing always meets an empty slot soon.
  if (2 * (blocks_.size() + 1) > slots_.size()) grow();
  Block fresh;
  fresh.fill(empty_);
  blocks_.push_back(fresh);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home(run);
  while (slots_[i].block != empty_) i = (i + 1) & mask;
  slots_[i] = {run, blocks_.size() - 1};
  recent_valid_ = true;
  recent_run_ = run;
  recent_block_ = blocks_.size() - 1;
  return recent_block_;
}

std::uint64_t* InstanceTable::find(std::uint64_t key) {
  const std::uint64_t block = find_block(key >> run_bits_);
  if (block == empty_) return nullptr;
  std::uint64_t& position = blocks_[block][key & ((std::uint64_t{1} << run_bits_) - 1)];
  return position == empty_ ? nullptr : &position;
}

void InstanceTable::insert(std::uint64_t key, std::uint64_t position) {
  const std::uint64_t run = key >> run_bits_;
  std::uint64_t block = find_block(run);
  if (block == empty_) block = add_block(run);
  blocks_[block][key & ((std::uint64_t{1} << run_bits_) - 1)] = position;
}

void InstanceTable::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.block == empty_) continue;
    std::size_t i = home(slot.run);
    while (slots_[i].block != empty_) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

}  // namespace kovalith::ifc
