#include "kernel/vertex_mean.h"

namespace kovalith {

Vector3D vertex_mean(const Mesh& mesh) {
  Vector3D sum;
  for (const Vector3D& v : mesh.vertices) {
    sum.x += v.x;
    sum.y += v.y;
    sum.z += v.z;
  }
  const double n = static_cast<double>(mesh.vertices.size());
  return {sum.x / n, sum.y / n, sum.z / n};
}

}  // namespace kovalith
