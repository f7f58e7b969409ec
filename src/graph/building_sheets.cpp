// Rooms merged per plane before the search: the modes that sum a plane's
// face pairs into one edge need no face pairs, and a face drawn as a fan of
// slivers would make every sliver a candidate of every sliver facing it.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>

#include "graph/building_search.h"
#include "kernel/box2.h"

namespace kovalith {
namespace {

constexpr Index unmapped = static_cast<Index>(-1);

// The face's corners, in the order that winds it about its outward normal;
// its vertices shared with the other faces kept (`remap`: original -> new).
void add_outward(Mesh& out, const Mesh& mesh, std::span<const Index> face, bool reverse,
                 std::vector<Index>& remap, std::vector<Index>& scratch) {
  scratch.clear();
  for (std::size_t k = 0; k < face.size(); ++k) {
    const Index corner = face[reverse ? face.size() - 1 - k : k];
    if (remap[corner] == unmapped) {
      remap[corner] = static_cast<Index>(out.vertices.size());
      out.vertices.push_back(mesh.vertices[corner]);
    }
    scratch.push_back(remap[corner]);
  }
  out.add_face(scratch);
}

std::uint64_t pair_key(std::uint32_t a, std::uint32_t b) {
  return (static_cast<std::uint64_t>(a) << 32) | b;
}

double twice_signed_area(const Ring& ring) {
  double twice = 0.0;
  for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
    twice += ring[k].x * ring[k + 1].y - ring[k + 1].x * ring[k].y;
  }
  return twice;
}

// The open ring less its corners that lie on the line through their
// neighbours (to rounding): a wall drawn with a point every few centimetres
// along its edges is a rectangle.
Ring without_straight_corners(const Ring& ring) {
  auto straight = [](const Point2& a, const Point2& b, const Point2& c) {
    const double ux = b.x - a.x, uy = b.y - a.y, vx = c.x - b.x, vy = c.y - b.y;
    const double cross = ux * vy - uy * vx;
    const double along = ux * vx + uy * vy;
    return along > 0.0 && std::fabs(cross) <= 1e-12 * std::hypot(ux, uy) * std::hypot(vx, vy);
  };
  Ring out;
  out.reserve(ring.size());
  for (const Point2& p : ring) {
    while (out.size() >= 2 && straight(out[out.size() - 2], out.back(), p)) out.pop_back();
    out.push_back(p);
  }
  // The seam: the last corners against the first ones.
  std::size_t first = 0;
  bool changed = true;
  while (changed && out.size() - first >= 3) {
    changed = false;
    if (straight(out[out.size() - 2], out.back(), out[first])) {
      out.pop_back();
      changed = true;
    }
    if (out.size() - first >= 3 && straight(out.back(), out[first], out[first + 1])) {
      ++first;
      changed = true;
    }
  }
  return Ring(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

// The outline of faces that tile one plane edge to edge (a triangulated
// wall, a fan of slivers): the edges that no neighbouring face runs back
// along, chained into one loop, in the frame. Linear in the faces, where a
// boolean union of a fan costs the square of its size. Empty when the faces
// do not tile a disc (an edge used twice the same way, a corner where the
// outline touches itself, several loops, faces overlapping or wound apart).
std::optional<Ring> outline(const Mesh& mesh, std::span<const std::size_t> faces, bool reversed,
                            const Vector3D& origin, const PlaneFrame& axes) {
  // Corners at one position are one corner, whatever their vertex numbers:
  // keyed by the bits of the position itself, so two positions never share
  // a key (a hash of them once did, on the fans of a long straight side).
  struct BitsHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& k) const noexcept {
      return static_cast<std::size_t>(k.first * 0x9E3779B97F4A7C15ull ^
                                      (k.second + 0x632BE59BD9B4E019ull + (k.first << 6) +
                                       (k.first >> 2)));
    }
  };
  std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t, BitsHash> at;
  std::vector<Point2> points;
  std::vector<std::uint32_t> corner_of(mesh.vertices.size(), UINT32_MAX);
  auto corner = [&](Index v) -> std::uint32_t {
    if (corner_of[v] != UINT32_MAX) return corner_of[v];
    const Vector3D d = mesh.vertices[v] - origin;
    // Adding zero turns -0 into +0: one position, one key.
    const Point2 p{dot(d, axes.u) + 0.0, dot(d, axes.v) + 0.0};
    std::pair<std::uint64_t, std::uint64_t> key;
    std::memcpy(&key.first, &p.x, sizeof key.first);
    std::memcpy(&key.second, &p.y, sizeof key.second);
    auto [it, added] = at.try_emplace(key, static_cast<std::uint32_t>(points.size()));
    if (added) points.push_back(p);
    corner_of[v] = it->second;
    return it->second;
  };
  std::unordered_map<std::uint64_t, int> edges;
  double area = 0.0;
  Ring ring;
  for (std::size_t f : faces) {
    const std::span<const Index> face = mesh.face(f);
    ring.clear();
    std::uint32_t first = UINT32_MAX, previous = UINT32_MAX;
    for (std::size_t k = 0; k < face.size(); ++k) {
      const std::uint32_t c = corner(face[reversed ? face.size() - 1 - k : k]);
      ring.push_back(points[c]);
      if (k == 0) {
        first = c;
      } else if (c != previous && ++edges[pair_key(previous, c)] > 1) {
        return std::nullopt;
      }
      previous = c;
    }
    if (previous != first && ++edges[pair_key(previous, first)] > 1) return std::nullopt;
    ring.push_back(ring.front());
    area += twice_signed_area(ring);
  }
  std::unordered_map<std::uint32_t, std::uint32_t> next;
  for (const auto& [key, count] : edges) {
    const auto a = static_cast<std::uint32_t>(key >> 32), b = static_cast<std::uint32_t>(key);
    if (edges.count(pair_key(b, a)) != 0) continue;
    if (!next.try_emplace(a, b).second) return std::nullopt;
  }
  if (next.size() < 3) return std::nullopt;
  Ring loop;
  const std::uint32_t start = next.begin()->first;
  std::uint32_t c = start;
  do {
    loop.push_back(points[c]);
    const auto it = next.find(c);
    if (it == next.end() || loop.size() > next.size()) return std::nullopt;
    c = it->second;
  } while (c != start);
  if (loop.size() != next.size()) return std::nullopt;
  loop = without_straight_corners(loop);
  if (loop.size() < 3) return std::nullopt;
  loop.push_back(loop.front());
  // The faces, wound outward and not overlapping, enclose what the outline does.
  const double outlined = twice_signed_area(loop);
  if (!(area > 0.0) || !(std::fabs(outlined - area) <= 1e-9 * area)) return std::nullopt;
  return loop;
}

}  // namespace

std::vector<PlaneGroup> group_by_plane(const Mesh& mesh,
                                       std::span<const std::optional<FacePlane>> planes,
                                       double distance, double parallel) {
  std::vector<PlaneGroup> groups;
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const std::optional<FacePlane>& plane = planes[f];
    if (!plane) continue;
    const Vector3D& first = mesh.vertices[mesh.face(f)[0]];
    std::size_t g = 0;
    for (; g < groups.size(); ++g) {
      if (dot(groups[g].normal, plane->normal) > parallel &&
          std::fabs(dot(groups[g].normal, first - groups[g].origin)) <= distance) {
        break;
      }
    }
    if (g == groups.size()) groups.push_back({first, plane->normal, {}});
    groups[g].faces.push_back(f);
  }
  return groups;
}

Region unite_fused(std::span<const Polygon* const> polygons, double distance) {
  Box2 box;
  for (const Polygon* p : polygons) box.add(*p);
  const double extent = std::fmax(box.hi[0] - box.lo[0], box.hi[1] - box.lo[1]);
  return unite(polygons, fuse_share * std::fmax(distance, extent));
}

Mesh sheet_mesh(const Mesh& mesh, std::span<const std::optional<FacePlane>> planes, bool reversed,
                double distance, double parallel) {
  const std::vector<PlaneGroup> groups = group_by_plane(mesh, planes, distance, parallel);
  Mesh out;
  std::vector<Index> remap(mesh.vertices.size(), unmapped);
  std::vector<Index> corners;
  std::vector<Polygon> projected;
  std::vector<const Polygon*> pointers;
  for (const PlaneGroup& g : groups) {
    bool merged = false;
    if (g.faces.size() > 1) {
      const PlaneFrame axes = plane_frame(g.normal);
      projected.resize(g.faces.size());
      pointers.clear();
      for (std::size_t k = 0; k < g.faces.size(); ++k) {
        project_into(projected[k], mesh, mesh.face(g.faces[k]), g.origin, axes);
        pointers.push_back(&projected[k]);
      }
      std::optional<Ring> loop = outline(mesh, g.faces, reversed, g.origin, axes);
      const Region sheet =
          loop ? Region{Polygon{std::move(*loop), {}}} : unite_fused(pointers, distance);
      // A sheet with a hole is no face: its faces stay as they were.
      merged = !sheet.empty();
      for (const Polygon& p : sheet) merged = merged && p.holes.empty() && p.outer.size() >= 4;
      if (merged) {
        for (const Polygon& p : sheet) {
          // The clipper winds outer rings counter-clockwise in the frame,
          // whose u x v is the outward normal; the ring repeats its first point.
          corners.clear();
          for (std::size_t k = 0; k + 1 < p.outer.size(); ++k) {
            corners.push_back(static_cast<Index>(out.vertices.size()));
            out.vertices.push_back(g.origin + axes.u * p.outer[k].x + axes.v * p.outer[k].y);
          }
          out.add_face(corners);
        }
      }
    }
    if (!merged) {
      for (std::size_t f : g.faces) add_outward(out, mesh, mesh.face(f), reversed, remap, corners);
    }
  }
  return out;
}

}  // namespace kovalith
