#include "kernel/mesh_clean.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "support/hash_seed.h"

namespace kovalith {
namespace {

struct WeldKey {
  std::int64_t x, y, z;
  friend bool operator==(const WeldKey&, const WeldKey&) = default;
};

WeldKey weld_key(const Vector3D& v, double tolerance) {
  return {weld_coordinate(v.x / tolerance), weld_coordinate(v.y / tolerance),
          weld_coordinate(v.z / tolerance)};
}

// Every component passes through a bijective mixer keyed by a random seed
// drawn for the call, so where a key lands cannot be known in advance and no
// chosen set of coordinates can pile its keys onto one run of slots. (A fixed
// invertible mix let crafted coordinates share a home slot and made the weld
// quadratic.) Only the slot of a key depends on the seed, never the output:
// vertices are numbered in order of first appearance.
std::uint64_t hash_key(const WeldKey& k, std::uint64_t seed) {
  std::uint64_t h = mix64(static_cast<std::uint64_t>(k.x) ^ seed);
  h = mix64(h ^ static_cast<std::uint64_t>(k.y));
  return mix64(h ^ static_cast<std::uint64_t>(k.z));
}

// Between two checks of the interrupt: a few hundred microseconds of work.
constexpr std::size_t poll_stride = std::size_t{1} << 14;

Error stopped() { return Error{ErrorKind::interrupted, "clean interrupted"}; }

Error invalid_index(std::size_t face) {
  return Error{ErrorKind::index, "Face " + std::to_string(face) + " references invalid index."};
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Open-addressing weld map from key to new vertex index, sized once for the
// vertex count (load factor at most one half) and probed linearly. A slot
// holds a fragment of the hash and the index + 1 (0 = empty); the keys
// themselves sit densely by new index, so the table stays small enough to
// stay mostly in cache. U is uint32 for meshes below 2^32 vertices (8-byte
// slots), uint64 beyond.
template <class U>
class WeldMap {
 public:
  explicit WeldMap(std::size_t vertex_count)
      : keys_(std::make_unique_for_overwrite<WeldKey[]>(vertex_count)) {
    std::size_t capacity = 16;
    while (capacity < 2 * vertex_count) capacity *= 2;
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    // calloc hands out zeroed pages without touching them first.
    slots_.reset(static_cast<Slot*>(std::calloc(capacity, sizeof(Slot))));
    if (!slots_) throw std::bad_alloc();
  }

  // Starts loading the key's home slot, so that probes issued a few keys
  // ahead overlap their cache misses instead of paying them one by one.
  void prefetch(std::uint64_t h) const { __builtin_prefetch(&slots_[h >> shift_]); }

  // Index of the key (of hash h)'s vertex; `next` (the count of keys so far)
  // if the key is new, which is then recorded with that index.
  U find_or_insert(const WeldKey& key, std::uint64_t h, U next) {
    const U tag = static_cast<U>(h);
    for (std::size_t pos = h >> shift_;; pos = (pos + 1) & mask_) {
      Slot& slot = slots_[pos];
      if (slot.index_plus_one == 0) {
        slot = {tag, static_cast<U>(next + 1)};
        keys_[next] = key;
        return next;
      }
      if (slot.tag == tag && keys_[slot.index_plus_one - 1] == key) return slot.index_plus_one - 1;
    }
  }

 private:
  struct Slot {
    U tag;
    U index_plus_one;
  };
  std::unique_ptr<WeldKey[]> keys_;
  std::unique_ptr<Slot[], FreeDeleter> slots_;
  std::size_t mask_ = 0;
  int shift_ = 0;
};

template <class U>
Result<Mesh> clean_with(const Mesh& mesh, double tolerance, Interrupt* interrupt) {
  const std::size_t n = mesh.vertices.size();
  Mesh out;
  out.reserve(n, mesh.face_count(), mesh.corners.size());
  // Pass 1 welds every vertex and remembers where it went, so pass 2 reads
  // each corner's new index instead of hashing the same key again.
  auto remap = std::make_unique_for_overwrite<U[]>(n);
  {
    WeldMap<U> map(n);
    const std::uint64_t seed = next_hash_seed();
    // Keys are computed `lookahead` vertices before they are probed, their
    // slots prefetched meanwhile; the ring holds the keys in flight.
    constexpr std::size_t lookahead = 16;
    struct Pending {
      WeldKey key;
      std::uint64_t hash;
    };
    Pending ring[lookahead];
    auto stage = [&](std::size_t i) {
      Pending& p = ring[i % lookahead];
      p.key = weld_key(mesh.vertices[i], tolerance);
      p.hash = hash_key(p.key, seed);
      map.prefetch(p.hash);
    };
    for (std::size_t i = 0; i < std::min(n, lookahead); ++i) stage(i);
    for (std::size_t i = 0; i < n; ++i) {
      if (i % poll_stride == 0 && interrupted(interrupt)) return std::unexpected(stopped());
      const Pending p = ring[i % lookahead];
      if (i + lookahead < n) stage(i + lookahead);
      const U next = static_cast<U>(out.vertices.size());
      const U k = map.find_or_insert(p.key, p.hash, next);
      if (k == next) out.vertices.push_back(mesh.vertices[i]);
      remap[i] = k;
    }
  }
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    if (f % poll_stride == 0 && interrupted(interrupt)) return std::unexpected(stopped());
    const std::size_t begin = out.corners.size();
    for (const Index j : mesh.face(f)) {
      if (j >= n) return std::unexpected(invalid_index(f));
      const Index k = remap[j];
      if (out.corners.size() != begin && out.corners.back() == k) continue;
      out.corners.push_back(k);
    }
    std::size_t count = out.corners.size() - begin;
    if (count >= 3 && out.corners[begin] == out.corners.back()) {
      out.corners.pop_back();
      --count;
    }
    if (count < 3) {
      out.discard_open_face();
    } else {
      out.close_face();
    }
  }
  // Heavily welded meshes would otherwise carry their input's capacity.
  if (out.vertices.size() < out.vertices.capacity() / 2) out.vertices.shrink_to_fit();
  if (out.corners.size() < out.corners.capacity() / 2) out.corners.shrink_to_fit();
  return out;
}

}  // namespace

Result<Mesh> clean_mesh(const Mesh& mesh, double tolerance, Interrupt* interrupt) {
  if (mesh.vertices.size() < std::numeric_limits<std::uint32_t>::max()) {
    return clean_with<std::uint32_t>(mesh, tolerance, interrupt);
  }
  return clean_with<std::uint64_t>(mesh, tolerance, interrupt);
}

}  // namespace kovalith
