#include "kernel/extrusion.h"

namespace kovalith {

Mesh extrude_polygon_to_mesh(const Ring& closed_ring, double z_base, double height) {
  Mesh mesh;
  if (closed_ring.size() < 4) return mesh;
  const std::size_t n = closed_ring.size() - 1;
  const double z_top = z_base + height;
  // Caps hold n corners each, the n sides four each.
  mesh.reserve(2 * n, n + 2, 6 * n);
  for (std::size_t i = 0; i < n; ++i) mesh.vertices.push_back({closed_ring[i].x, closed_ring[i].y, z_base});
  for (std::size_t i = 0; i < n; ++i) mesh.vertices.push_back({closed_ring[i].x, closed_ring[i].y, z_top});
  for (std::size_t i = n; i-- > 0;) mesh.corners.push_back(i);
  mesh.close_face();
  for (std::size_t i = n; i < 2 * n; ++i) mesh.corners.push_back(i);
  mesh.close_face();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = i + 1 < n ? i + 1 : 0;
    mesh.add_face({i, j, j + n, i + n});
  }
  return mesh;
}

}  // namespace kovalith
