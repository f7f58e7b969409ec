#include "ifc/instance_table.h"

#include <algorithm>

#include "support/hash_seed.h"

namespace kovalith::ifc {
namespace {

constexpr std::size_t min_capacity = 64;

}  // namespace

InstanceTable::InstanceTable(std::size_t max_keys) : seed_(next_hash_seed()) {
  allocate(std::max(min_capacity, 2 * max_keys + 8));
}

void InstanceTable::allocate(std::size_t capacity) {
  capacity_ = capacity;
  recent_valid_ = false;
  slots_ = std::make_unique<Slot[]>(capacity);
  size_ = 0;
}

std::size_t InstanceTable::home(std::uint64_t key) {
  // The run's first slot, spread over [0, capacity) without a division; the
  // last run's is remembered, since a loop's points mostly share one.
  const std::uint64_t run = key >> run_bits_;
  if (run != recent_run_ || !recent_valid_) {
    const std::uint64_t h = mix64(run ^ seed_);
    recent_start_ = static_cast<std::size_t>((static_cast<unsigned __int128>(h) * capacity_) >> 64);
    recent_run_ = run;
    recent_valid_ = true;
  }
  const std::size_t start = recent_start_;
  const std::size_t slot = start + (key & ((std::uint64_t{1} << run_bits_) - 1));
  return slot < capacity_ ? slot : slot - capacity_;
}

std::uint32_t InstanceTable::find(std::uint64_t key) {
  for (std::size_t i = home(key);; i = i + 1 == capacity_ ? 0 : i + 1) {
    const Slot& slot = slots_[i];
    if (slot.position_plus_one == 0) return absent;
    if (slot.key == key) return slot.position_plus_one - 1;
  }
}

void InstanceTable::insert(std::uint64_t key, std::uint32_t position) {
  if (2 * (size_ + 1) > capacity_) grow();
  std::size_t i = home(key);
  while (slots_[i].position_plus_one != 0) i = i + 1 == capacity_ ? 0 : i + 1;
  slots_[i] = {key, position + 1};
  ++size_;
}

void InstanceTable::grow() {
  const std::size_t old_capacity = capacity_;
  std::unique_ptr<Slot[]> old = std::move(slots_);
  allocate(2 * old_capacity);
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (old[i].position_plus_one != 0) insert(old[i].key, old[i].position_plus_one - 1);
  }
}

}  // namespace kovalith::ifc
