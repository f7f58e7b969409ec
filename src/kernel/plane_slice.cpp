#include "kernel/plane_slice.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <span>
#include <vector>

namespace kovalith {
namespace {

constexpr double min_normal_length = 1e-8;
constexpr Index unmapped = std::numeric_limits<Index>::max();

Error invalid_normal() { return Error{ErrorKind::value, "Invalid plane normal vector."}; }

// One side's mesh under construction. Its index map is a dense array over the
// receiver's vertices (unmapped until first carried over): one probe per
// carried corner, no hashing.
class SideBuilder {
 public:
  SideBuilder(const std::vector<Vector3D>& source, Index* map) : source_(source), map_(map) {}

  Index carry(Index i) {
    Index& slot = map_[i];
    if (slot == unmapped) {
      slot = mesh_.vertices.size();
      mesh_.vertices.push_back(source_[i]);
    }
    return slot;
  }

  Index fresh(const Vector3D& v) {
    mesh_.vertices.push_back(v);
    return mesh_.vertices.size() - 1;
  }

  void triangle(Index a, Index b, Index c) {
    mesh_.corners.push_back(a);
    mesh_.corners.push_back(b);
    mesh_.corners.push_back(c);
    mesh_.close_face();
  }

  Mesh take() { return std::move(mesh_); }

 private:
  const std::vector<Vector3D>& source_;
  Index* map_;
  Mesh mesh_;
};

// The unit normal. A finite normal whose squared length overflows (a
// component beyond about 1e154) still has a direction: it is first scaled by
// a power of two, which is exact, so the quotient is the one exact arithmetic
// gives. Every other normal is divided by its length as it is.
Vector3D unit_normal(const Vector3D& normal, double len) {
  Vector3D scaled = normal;
  if (std::isinf(len) && std::isfinite(normal.x) && std::isfinite(normal.y) &&
      std::isfinite(normal.z)) {
    int exponent = 0;
    std::frexp(std::max({std::fabs(normal.x), std::fabs(normal.y), std::fabs(normal.z)}), &exponent);
    scaled = normal * std::ldexp(1.0, -exponent);
    len = length(scaled);
  }
  return {scaled.x / len, scaled.y / len, scaled.z / len};
}

// (P - L) * t + L, coordinate by coordinate.
Vector3D cut_point(const Vector3D& l, const Vector3D& p, double t) {
  return {(p.x - l.x) * t + l.x, (p.y - l.y) * t + l.y, (p.z - l.z) * t + l.z};
}

// Between two checks of the interrupt: well under a millisecond of work.
constexpr std::size_t poll_stride = std::size_t{1} << 13;

Error stopped() { return Error{ErrorKind::interrupted, "slice interrupted"}; }

}  // namespace

Result<std::pair<Mesh, Mesh>> slice_by_plane(const Mesh& mesh, const Vector3D& normal,
                                             const Vector3D& origin, Interrupt* interrupt) {
  const double len = length(normal);
  if (len < min_normal_length) return std::unexpected(invalid_normal());
  const Vector3D n = unit_normal(normal, len);

  const std::vector<Vector3D>& vs = mesh.vertices;
  const std::size_t vertex_count = vs.size();
  auto distance = std::make_unique_for_overwrite<double[]>(vertex_count);
  for (std::size_t i = 0; i < vertex_count; ++i) {
    if (i % poll_stride == 0 && interrupted(interrupt)) return std::unexpected(stopped());
    distance[i] = dot(vs[i] - origin, n);
  }

  auto maps = std::make_unique_for_overwrite<Index[]>(2 * vertex_count);
  std::fill_n(maps.get(), 2 * vertex_count, unmapped);
  SideBuilder above(vs, maps.get());
  SideBuilder below(vs, maps.get() + vertex_count);

  std::size_t triangles = 0;
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const std::span<const Index> face = mesh.face(f);
    for (std::size_t i = 1; i + 1 < face.size(); ++i) {
      if (++triangles % poll_stride == 0 && interrupted(interrupt)) {
        return std::unexpected(stopped());
      }
      const Index t[3] = {face[0], face[i], face[i + 1]};
      const double d[3] = {distance[t[0]], distance[t[1]], distance[t[2]]};
      const bool up[3] = {d[0] >= 0.0, d[1] >= 0.0, d[2] >= 0.0};
      if (up[0] == up[1] && up[1] == up[2]) {
        SideBuilder& side = up[0] ? above : below;
        const Index a = side.carry(t[0]);
        const Index b = side.carry(t[1]);
        side.triangle(a, b, side.carry(t[2]));
        continue;
      }
      // The lone corner, rotated to the front so the winding is kept.
      const int l = (up[0] != up[1] && up[0] != up[2]) ? 0
                    : (up[1] != up[0] && up[1] != up[2]) ? 1
                                                         : 2;
      const int p = (l + 1) % 3, q = (l + 2) % 3;
      const Vector3D& lv = vs[t[l]];
      const Vector3D xp = cut_point(lv, vs[t[p]], d[l] / (d[l] - d[p]));
      const Vector3D xq = cut_point(lv, vs[t[q]], d[l] / (d[l] - d[q]));
      SideBuilder& lone = up[l] ? above : below;
      SideBuilder& other = up[l] ? below : above;
      const Index l0 = lone.fresh(lv);
      const Index l1 = lone.fresh(xp);
      lone.triangle(l0, l1, lone.fresh(xq));
      const Index pp = other.carry(t[p]);
      const Index qq = other.carry(t[q]);
      const Index xpp = other.fresh(xp);
      const Index xqq = other.fresh(xq);
      other.triangle(xpp, pp, qq);
      other.triangle(xpp, qq, xqq);
    }
  }
  return std::pair<Mesh, Mesh>(above.take(), below.take());
}

}  // namespace kovalith
