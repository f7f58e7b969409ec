// Seeds for the hash tables that are keyed by input data (weld keys, IFC
// instance numbers). Each table takes a fresh random seed and mixes it into
// every key, so no fixed input can make its keys collide: the slot a key lands
// in is unknown until the call runs. Nothing may depend on the slot order.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>

namespace kovalith {

// splitmix64's finaliser: a bijection whose every output bit depends on every
// input bit.
inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// A new seed per call: a process-wide counter, started once from the system's
// entropy and stepped by a Weyl increment, mixed. (Not thread_local: the
// module's dynamic TLS cannot be allocated safely, see thread_scratch.h.)
inline std::uint64_t next_hash_seed() {
  static std::atomic<std::uint64_t> state = [] {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  }();
  return mix64(state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed));
}

}  // namespace kovalith
