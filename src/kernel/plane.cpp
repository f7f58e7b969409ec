#include "kernel/plane.h"

#include <cmath>
#include <limits>

namespace kovalith {
namespace {

// Newell length below which a face counts as degenerate (twice its area).
constexpr double min_newell_length = 1e-8;
// |n.x| from which the frame takes Y instead of X as reference axis, so that
// the reference is never close to parallel to the normal.
constexpr double reference_axis_switch = 0.9;

}  // namespace

std::optional<FacePlane> face_plane(const std::vector<Vector3D>& vertices,
                                    std::span<const Index> face) {
  if (face.size() < 3) return std::nullopt;
  Vector3D n;
  for (std::size_t k = 0; k < face.size(); ++k) {
    const Vector3D& a = vertices[face[k]];
    const Vector3D& b = vertices[face[k + 1 == face.size() ? 0 : k + 1]];
    n.x += (a.y - b.y) * (a.z + b.z);
    n.y += (a.z - b.z) * (a.x + b.x);
    n.z += (a.x - b.x) * (a.y + b.y);
  }
  const double len = length(n);
  // A face with a non-finite coordinate (NaN length), or one so large that
  // the Newell sums overflow (infinite length), has no plane either: its
  // normal would hold NaN, and every consumer would have to guard against it.
  if (!(len >= min_newell_length && len <= std::numeric_limits<double>::max())) {
    return std::nullopt;
  }
  FacePlane plane;
  plane.normal = {n.x / len, n.y / len, n.z / len};
  plane.offset = -dot(plane.normal, vertices[face[0]]);
  return plane;
}

PlaneFrame plane_frame(const Vector3D& n) {
  const Vector3D h = std::fabs(n.x) < reference_axis_switch ? Vector3D{1.0, 0.0, 0.0}
                                                             : Vector3D{0.0, 1.0, 0.0};
  // n x h with the zero terms of h written out, so U is reproducible to the
  // bit; for a unit normal |n x h| >= sqrt(0.19), no guard needed.
  const Vector3D nh{-n.z * h.y, n.z * h.x, n.x * h.y - n.y * h.x};
  const double len = length(nh);
  PlaneFrame frame;
  frame.u = {nh.x / len, nh.y / len, nh.z / len};
  frame.v = cross(n, frame.u);
  return frame;
}

}  // namespace kovalith
