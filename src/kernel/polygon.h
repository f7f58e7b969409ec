// The 2D polygon model and the boolean operations the system needs.
//
// A ring is an ordered point list, closed when its last point repeats its
// first. A polygon is an outer ring plus holes; a region is a list of
// polygons (the result of every boolean operation; empty = empty region).
//
// Every boolean operation reads its operands with the even-odd fill rule, so
// ring orientation plays no part and self-intersecting rings are handled.
// Results keep holes; polygon order and ring winding are the clipper's.
// An operand with a NaN or infinite coordinate gives the empty region.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "records/mesh.h"

namespace kovalith {

struct Point2 {
  double x = 0.0;
  double y = 0.0;
  friend constexpr bool operator==(const Point2&, const Point2&) = default;
};

using Ring = std::vector<Point2>;

struct Polygon {
  Ring outer;
  std::vector<Ring> holes;
};

using Region = std::vector<Polygon>;

struct GeometryKernel {
  // Projects the face's corners, in order, into the frame (origin, u, v):
  // point (d.u, d.v) with d = p - origin. The ring is closed by repeating the
  // first point unless the last already equals it exactly (NaN never does).
  // No point is dropped and the winding is kept. Corners must be in range.
  static Polygon project_and_build_polygon(const std::vector<Vector3D>& vertices,
                                           std::span<const Index> face, const Vector3D& origin,
                                           const Vector3D& u, const Vector3D& v);
};

Region intersect(const Polygon& subject, const Polygon& clip);
Region intersect(const Region& subject, const Polygon& clip);
Region subtract(const Polygon& subject, const Polygon& clip);
Region subtract(const Region& subject, const Polygon& clip);

// Subject minus the union of the clips, in one pass of the clipper: each
// clip is read with the even-odd rule on its own (as `subtract` reads it), so
// overlapping clips remove their union. Cost grows with the total size of the
// operands, not with their product as a chain of `subtract` calls does.
Region subtract_union(const Region& subject, std::span<const Polygon* const> clips);

// The union of the polygons, each read with the even-odd rule on its own (as
// a clip of subtract_union is). Empty for none. With `fuse` > 0, gaps and
// slits narrower than 2 * fuse are closed (a grow-then-shrink by `fuse`, with
// mitred corners): pieces of one face whose shared edges came out of
// different frames a rounding apart then unite into one polygon.
Region unite(std::span<const Polygon* const> polygons, double fuse = 0.0);

// First moments of a region: its area and its area-weighted centre.
struct RegionMeasure {
  double weight = 0.0;  // area
  double mx = 0.0;      // area * centre x
  double my = 0.0;      // area * centre y

  double area() const noexcept { return weight; }
  // Empty for zero area, like region_centroid.
  std::optional<Point2> centroid() const noexcept;
  RegionMeasure& operator+=(const RegionMeasure& other) noexcept;
  RegionMeasure& operator-=(const RegionMeasure& other) noexcept;
};

RegionMeasure measure(const Region& region);

// Area and centre of subject minus the union of the clips, equal to those of
// `subtract_union` (and of subtracting the clips one by one) up to rounding.
// Many clips are split among the cells of a kd-partition of their boxes, so
// that each pass of the clipper sees a bounded number of them: thousands of
// openings in one wall cost time in proportion to their number.
RegionMeasure measure_difference(const Region& subject, std::span<const Polygon* const> clips);

// Whether a closed ring turns one way throughout (collinear corners allowed,
// at least one real turn, finite); its turning sign (+1 counter-clockwise,
// -1 clockwise) goes to `sign`.
bool is_convex_ring(const Ring& ring, double& sign);
// Whether p lies inside or on a convex ring of turning sign `sign`.
bool inside_convex_ring(const Ring& ring, double sign, const Point2& p);
// Whether two convex closed rings overlap with positive area: no edge normal
// of either separates them (touching along an edge or at a corner does).
// Rings whose corner counts multiply past a few thousand are not tested
// (answer true): the test is quadratic in their size.
bool convex_rings_overlap(const Ring& a, const Ring& b);

// |shoelace| of a closed ring; 0 for fewer than 3 points or an open ring.
double ring_area(const Ring& ring);
// |outer| - sum |holes|, in absolute value.
double polygon_area(const Polygon& polygon);
// Sum of the polygons' areas; 0 for the empty region.
double region_area(const Region& region);
// Area-weighted centroid: outer rings weigh with their area, holes with the
// negative of theirs. Empty for the empty region or zero total area.
std::optional<Point2> region_centroid(const Region& region);

}  // namespace kovalith
