#include "records/mesh.h"

#include <string>

namespace kovalith {

Result<void> validate(const Mesh& mesh) {
  constexpr std::size_t min_face_corners = 3;
  const std::uint64_t vertex_count = mesh.vertices.size();
  for (std::size_t n = 0; n < mesh.face_count(); ++n) {
    const auto face = mesh.face(n);
    if (face.size() < min_face_corners) {
      return fail(ErrorKind::value, "Face " + std::to_string(n) + " has < 3 vertices.");
    }
    for (const Index e : face) {
      if (e >= vertex_count) {
        return fail(ErrorKind::index, "Face " + std::to_string(n) +
                                          " references out-of-bounds index " +
                                          std::to_string(e) + ".");
      }
    }
  }
  return {};
}

}  // namespace kovalith
