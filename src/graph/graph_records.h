// Native records of the compiled graph that hold no Python objects.
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>

#include "records/vector3d.h"

namespace kovalith {

// A wire whose midpoint lies inside a mesh.
struct WireContact {
  std::uint64_t wire_index = 0;
  std::uint64_t mesh_index = 0;
};

enum class ContactType : std::uint8_t { vertical_wall, horizontal_slab };

// |n.z| above this (strictly) makes a face a slab (floor or ceiling), at or
// below it a wall: the literal, not 1/sqrt(2), so that a face tilted exactly
// 45 degrees is a wall on every platform.
constexpr double slab_threshold = 0.707;

inline bool is_slab_normal(const Vector3D& normal) noexcept {
  return std::fabs(normal.z) > slab_threshold;
}

inline ContactType contact_type_of(const Vector3D& normal) noexcept {
  return is_slab_normal(normal) ? ContactType::horizontal_slab : ContactType::vertical_wall;
}

inline std::string_view contact_type_name(ContactType type) {
  return type == ContactType::horizontal_slab ? "HorizontalSlabContact" : "VerticalWallContact";
}

// One accepted face-to-face contact; node_a < node_b.
struct RawEdge {
  std::uint64_t node_a = 0;
  std::uint64_t node_b = 0;
  double shared_area = 0.0;
  Vector3D contact_centroid;
  ContactType contact_type = ContactType::vertical_wall;
};

}  // namespace kovalith
