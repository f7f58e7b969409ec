#include "graph/spatial_order.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

namespace kovalith {
namespace {

constexpr int bits_per_axis = 21;  // 3 * 21 bits fit one 64-bit key
constexpr double cells = static_cast<double>((1u << bits_per_axis) - 1);

// Spreads the low 21 bits of x so that two zero bits follow each of them.
std::uint64_t spread(std::uint64_t x) {
  x &= 0x1fffff;
  x = (x | x << 32) & 0x1f00000000ffffULL;
  x = (x | x << 16) & 0x1f0000ff0000ffULL;
  x = (x | x << 8) & 0x100f00f00f00f00fULL;
  x = (x | x << 4) & 0x10c30c30c30c30c3ULL;
  x = (x | x << 2) & 0x1249249249249249ULL;
  return x;
}

bool finite(const Vector3D& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

std::vector<std::size_t> spatial_order(const std::vector<Vector3D>& points) {
  std::array<double, 3> lo{INFINITY, INFINITY, INFINITY};
  std::array<double, 3> hi{-INFINITY, -INFINITY, -INFINITY};
  for (const Vector3D& p : points) {
    if (!finite(p)) continue;
    const std::array<double, 3> c{p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], c[a]);
      hi[a] = std::max(hi[a], c[a]);
    }
  }
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed;
  keyed.reserve(points.size());
  std::vector<std::size_t> last;
  for (std::size_t k = 0; k < points.size(); ++k) {
    const Vector3D& p = points[k];
    if (!finite(p)) {
      last.push_back(k);
      continue;
    }
    const std::array<double, 3> c{p.x, p.y, p.z};
    std::uint64_t key = 0;
    for (int a = 0; a < 3; ++a) {
      // Halved, the extent and the offset stay finite even when the points
      // span more than the double range (-1e308 to 1e308): the offset is then
      // at most the extent, and the cell within [0, cells], never NaN.
      const double extent = 0.5 * hi[a] - 0.5 * lo[a];
      const double t = extent > 0.0 ? (0.5 * c[a] - 0.5 * lo[a]) / extent : 0.0;
      const double cell = std::clamp(t * cells, 0.0, cells);
      key |= spread(static_cast<std::uint64_t>(cell)) << a;
    }
    keyed.emplace_back(key, k);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::size_t> order;
  order.reserve(points.size());
  for (const auto& [key, k] : keyed) order.push_back(k);
  order.insert(order.end(), last.begin(), last.end());
  return order;
}

}  // namespace kovalith
