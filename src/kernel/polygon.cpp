#include "kernel/polygon.h"
#include "support/thread_scratch.h"

#include "kernel/box2.h"

#include <polyclipping/clipper.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace kovalith {
namespace {

using ClipperLib::cInt;

// The int64 grid of one boolean operation.
//
// Coordinates are scaled by 2^e, with e chosen from the largest magnitude M
// among all operand coordinates: with M < 2^k, e = grid_bits - k, so every
// scaled coordinate lies within +-2^grid_bits. With grid_bits = 52 the grid
// step is 2^(k-52), at most two units in the last place of M: snapping moves
// a point by at most one ulp of the largest coordinate, about what one double
// rounding of it costs. Every grid value (and every intersection point the
// clipper makes inside the operands' bounding box) has at most 53 significant
// bits, so scaling back by 2^-e is exact. Any finite coordinates are accepted:
// the scale follows the operands, so the relative precision (2^-52 of M) is the
// same from millimetres to astronomical extents; only below M ~ 2^-970, where
// the exponent is clamped to stay normal, does the grid get coarser than that.
// NaN and infinities are refused before scaling (converting them to an integer
// is undefined).
//
// Coordinates beyond +-2^30 put the clipper on its 128-bit ("full range")
// slope tests. Measured on rectangle-by-hexagon intersections and differences
// (the size of wall and slab faces) that path costs about 5 % per operation;
// staying below 2^30 would give up 22 bits (a micrometre on a kilometre
// campus, before areas multiply the error), so the precise grid wins.
constexpr int grid_bits = 52;
constexpr int max_scale_exponent = 1022;
// Coordinates of magnitude 2^1023 and above (k = 1024) would snap up to the
// grid value 2^grid_bits, which scales back to 2^1024 = infinity. Their
// exponent stops one short instead: the grid is one bit finer than elsewhere
// (values below 2^53, still exact), and DBL_MAX lands on 2^53 - 1, which
// scales back to DBL_MAX itself.
constexpr int min_scale_exponent = grid_bits - std::numeric_limits<double>::max_exponent + 1;

struct Grid {
  double scale = 1.0;    // 2^e
  double unscale = 1.0;  // 2^-e
};

// Folds the ring's coordinates into the running maximum magnitude; false if
// any coordinate is NaN or infinite.
bool fold_extent(const Ring& ring, double& max_abs) {
  for (const Point2& p : ring) {
    const double ax = std::fabs(p.x);
    const double ay = std::fabs(p.y);
    // NaN fails both comparisons, so it is caught here too.
    if (!(ax <= std::numeric_limits<double>::max()) ||
        !(ay <= std::numeric_limits<double>::max())) {
      return false;
    }
    max_abs = std::max(max_abs, std::max(ax, ay));
  }
  return true;
}

bool fold_extent(const Polygon& polygon, double& max_abs) {
  if (!fold_extent(polygon.outer, max_abs)) return false;
  for (const Ring& hole : polygon.holes) {
    if (!fold_extent(hole, max_abs)) return false;
  }
  return true;
}

Grid grid_for(double max_abs) {
  int k = 0;
  if (max_abs > 0.0) std::frexp(max_abs, &k);  // max_abs < 2^k
  const int e = std::clamp(grid_bits - k, min_scale_exponent, max_scale_exponent);
  return {std::ldexp(1.0, e), std::ldexp(1.0, -e)};
}

// Scratch state of the boolean operations, one per thread: the contact search
// runs them for every candidate face pair on the worker pool, so the clipper,
// its input path and its output tree are reused instead of rebuilt per call.
struct Scratch {
  ClipperLib::Clipper clipper;
  ClipperLib::Path path;
  ClipperLib::PolyTree tree;
};

// Hands out this thread's scratch and leaves it empty again on every exit,
// so a failed operation (say, out of memory) cannot leak operands into the
// next one on the same thread.
class ScratchLease {
 public:
  ScratchLease() : s_(instance()) {}
  ~ScratchLease() {
    s_.clipper.Clear();
    s_.tree.Clear();
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  Scratch& operator*() const { return s_; }

 private:
  static Scratch& instance() { return thread_scratch<Scratch>(); }
  Scratch& s_;
};

void add_ring(Scratch& s, const Ring& ring, const Grid& grid, ClipperLib::PolyType type) {
  s.path.clear();
  // The closing repeat adds nothing to a closed path.
  std::size_t n = ring.size();
  if (n > 1 && ring.front() == ring.back()) --n;
  for (std::size_t i = 0; i < n; ++i) {
    s.path.emplace_back(static_cast<cInt>(std::nearbyint(ring[i].x * grid.scale)),
                        static_cast<cInt>(std::nearbyint(ring[i].y * grid.scale)));
  }
  // Rings of fewer than 3 distinct points, or of zero area, are refused by
  // the clipper and simply add nothing.
  s.clipper.AddPath(s.path, type, true);
}

void add_polygon(Scratch& s, const Polygon& polygon, const Grid& grid,
                 ClipperLib::PolyType type) {
  add_ring(s, polygon.outer, grid, type);
  for (const Ring& hole : polygon.holes) add_ring(s, hole, grid, type);
}

Ring closed_ring(const ClipperLib::Path& path, const Grid& grid) {
  Ring ring;
  ring.reserve(path.size() + 1);
  for (const ClipperLib::IntPoint& p : path) {
    ring.push_back({static_cast<double>(p.X) * grid.unscale,
                    static_cast<double>(p.Y) * grid.unscale});
  }
  if (!ring.empty()) ring.push_back(ring.front());
  return ring;
}

// Outer nodes become polygons with their child holes; islands inside a hole
// follow as polygons of their own, depth first.
void collect_outer(const ClipperLib::PolyNode& outer, const Grid& grid, Region& out) {
  Polygon polygon;
  polygon.outer = closed_ring(outer.Contour, grid);
  polygon.holes.reserve(outer.Childs.size());
  for (const ClipperLib::PolyNode* hole : outer.Childs) {
    polygon.holes.push_back(closed_ring(hole->Contour, grid));
  }
  out.push_back(std::move(polygon));
  for (const ClipperLib::PolyNode* hole : outer.Childs) {
    for (const ClipperLib::PolyNode* island : hole->Childs) collect_outer(*island, grid, out);
  }
}

// Runs the clipper on the operands already added and converts its tree.
Region execute(Scratch& s, ClipperLib::ClipType type, const Grid& grid) {
  Region region;
  // Execute reports an internal failure as false; no region is the only
  // answer that claims nothing.
  if (s.clipper.Execute(type, s.tree, ClipperLib::pftEvenOdd, ClipperLib::pftEvenOdd)) {
    for (const ClipperLib::PolyNode* node : s.tree.Childs) collect_outer(*node, grid, region);
  }
  return region;
}

Region run(const Polygon* subject, const Region* subject_region, const Polygon& clip,
           ClipperLib::ClipType type) {
  double max_abs = 0.0;
  if (subject != nullptr && !fold_extent(*subject, max_abs)) return {};
  if (subject_region != nullptr) {
    for (const Polygon& p : *subject_region) {
      if (!fold_extent(p, max_abs)) return {};
    }
  }
  if (!fold_extent(clip, max_abs)) return {};
  const Grid grid = grid_for(max_abs);
  const ScratchLease lease;
  Scratch& s = *lease;
  if (subject != nullptr) add_polygon(s, *subject, grid, ClipperLib::ptSubject);
  if (subject_region != nullptr) {
    // The polygons of a region do not overlap, so even-odd over all their
    // rings reads back exactly the region.
    for (const Polygon& p : *subject_region) add_polygon(s, p, grid, ClipperLib::ptSubject);
  }
  add_polygon(s, clip, grid, ClipperLib::ptClip);
  return execute(s, type, grid);
}

// Twice the signed shoelace area of a ring of n >= 3 points whose last point
// repeats its first, measured from the first point to keep the products small.
double twice_signed_area(const Ring& ring) {
  const Point2 o = ring.front();
  double sum = 0.0;
  for (std::size_t i = 1; i + 2 < ring.size(); ++i) {
    const double ax = ring[i].x - o.x, ay = ring[i].y - o.y;
    const double bx = ring[i + 1].x - o.x, by = ring[i + 1].y - o.y;
    sum += ax * by - bx * ay;
  }
  return sum;
}

bool is_measurable(const Ring& ring) { return ring.size() >= 3 && ring.front() == ring.back(); }

// Adds the ring's weighted first moments: weight * centroid, with weight its
// absolute area times `sign`.
void add_moment(const Ring& ring, double sign, double& weight, double& mx, double& my) {
  if (!is_measurable(ring)) return;
  const Point2 o = ring.front();
  double a2 = 0.0, cx = 0.0, cy = 0.0;
  for (std::size_t i = 1; i + 2 < ring.size(); ++i) {
    const double ax = ring[i].x - o.x, ay = ring[i].y - o.y;
    const double bx = ring[i + 1].x - o.x, by = ring[i + 1].y - o.y;
    const double cross = ax * by - bx * ay;
    a2 += cross;
    cx += (ax + bx) * cross;
    cy += (ay + by) * cross;
  }
  if (a2 == 0.0) return;
  // Centroid of the ring relative to o is (cx, cy) / (3 * a2); its weight
  // is |a2| / 2.
  const double w = sign * std::fabs(a2) * 0.5;
  weight += w;
  mx += w * (o.x + cx / (3.0 * a2));
  my += w * (o.y + cy / (3.0 * a2));
}


// Clips at most this many to one pass of the clipper in measure_difference:
// its sweep keeps every edge crossing the scan line active, so a pass over
// thousands of openings side by side costs their number squared.
constexpr std::size_t clips_per_pass = 32;
// Partition depth limit: clips piled on one spot cannot be separated by any
// cut, and each level doubles the cells.
constexpr int max_partition_depth = 24;

// Adds a clip so that under the positive fill rule it covers exactly the
// points that its even-odd reading covers. A ring of at most four distinct
// corners that turns one way throughout is simple and convex: it is only
// oriented positively. Anything else is first resolved by the clipper into
// simple outer rings (positive) and holes (negative).
void add_clip_positive(Scratch& s, const Polygon& clip, const Grid& grid) {
  ClipperLib::Paths rings;
  auto snap = [&](const Ring& ring) {
    ClipperLib::Path path;
    std::size_t n = ring.size();
    if (n > 1 && ring.front() == ring.back()) --n;
    path.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      path.emplace_back(static_cast<cInt>(std::nearbyint(ring[i].x * grid.scale)),
                        static_cast<cInt>(std::nearbyint(ring[i].y * grid.scale)));
    }
    return path;
  };
  if (clip.holes.empty()) {
    ClipperLib::Path path = snap(clip.outer);
    if (path.size() < 3) return;
    if (path.size() <= 4) {
      bool left = false, right = false;
      for (std::size_t i = 0; i < path.size(); ++i) {
        const ClipperLib::IntPoint& a = path[i];
        const ClipperLib::IntPoint& b = path[(i + 1) % path.size()];
        const ClipperLib::IntPoint& c = path[(i + 2) % path.size()];
        // Grid values lie within +-2^53, so differences fit 64 bits and their
        // products 128: the turn's sign is exact.
        const __int128 cross =
            static_cast<__int128>(b.X - a.X) * static_cast<__int128>(c.Y - b.Y) -
            static_cast<__int128>(b.Y - a.Y) * static_cast<__int128>(c.X - b.X);
        if (cross > 0) left = true;
        if (cross < 0) right = true;
      }
      if (!(left && right)) {
        if (!left && !right) return;  // all corners on one line: no area
        if (!ClipperLib::Orientation(path)) ClipperLib::ReversePath(path);
        s.clipper.AddPath(path, ClipperLib::ptClip, true);
        return;
      }
    }
    rings.push_back(std::move(path));
  } else {
    rings.push_back(snap(clip.outer));
    for (const Ring& hole : clip.holes) rings.push_back(snap(hole));
  }
  ClipperLib::Paths simple;
  ClipperLib::SimplifyPolygons(rings, simple, ClipperLib::pftEvenOdd);
  s.clipper.AddPaths(simple, ClipperLib::ptClip, true);
}

// Runs subject (even-odd) minus the union of the clips; false if an operand
// is not finite (the result is then empty).
bool prepare_difference(Scratch& s, const Region& subject, std::span<const Polygon* const> clips,
                        Grid& grid) {
  double max_abs = 0.0;
  for (const Polygon& p : subject) {
    if (!fold_extent(p, max_abs)) return false;
  }
  for (const Polygon* clip : clips) {
    if (!fold_extent(*clip, max_abs)) return false;
  }
  grid = grid_for(max_abs);
  for (const Polygon& p : subject) add_polygon(s, p, grid, ClipperLib::ptSubject);
  for (const Polygon* clip : clips) add_clip_positive(s, *clip, grid);
  return true;
}

void add_path_moment(const ClipperLib::Path& path, const Grid& grid, RegionMeasure& m) {
  if (path.size() < 3) return;
  const double ox = static_cast<double>(path[0].X) * grid.unscale;
  const double oy = static_cast<double>(path[0].Y) * grid.unscale;
  double a2 = 0.0, cx = 0.0, cy = 0.0;
  for (std::size_t i = 1; i + 1 < path.size(); ++i) {
    const double ax = static_cast<double>(path[i].X) * grid.unscale - ox;
    const double ay = static_cast<double>(path[i].Y) * grid.unscale - oy;
    const double bx = static_cast<double>(path[i + 1].X) * grid.unscale - ox;
    const double by = static_cast<double>(path[i + 1].Y) * grid.unscale - oy;
    const double cross = ax * by - bx * ay;
    a2 += cross;
    cx += (ax + bx) * cross;
    cy += (ay + by) * cross;
  }
  if (a2 == 0.0) return;
  // The clipper returns outer rings positive and holes negative, so the
  // signed area already weighs holes negatively.
  const double w = a2 * 0.5;
  m.weight += w;
  m.mx += w * ox + cx / 6.0;
  m.my += w * oy + cy / 6.0;
}

// One pass: subject minus the union of all clips, measured.
RegionMeasure measure_pass(const Region& subject, std::span<const Polygon* const> clips) {
  if (clips.empty()) return measure(subject);
  const ScratchLease lease;
  Scratch& s = *lease;
  Grid grid;
  if (!prepare_difference(s, subject, clips, grid)) return {};
  ClipperLib::Paths out;
  RegionMeasure m;
  if (s.clipper.Execute(ClipperLib::ctDifference, out, ClipperLib::pftEvenOdd,
                        ClipperLib::pftPositive)) {
    for (const ClipperLib::Path& path : out) add_path_moment(path, grid, m);
  }
  return m;
}

struct Partition {
  const Region& subject;
  std::span<const Polygon* const> clips;
  const std::vector<Box2>& boxes;
  RegionMeasure total;

  void leaf(const Box2& cell, const std::vector<std::size_t>& members, bool whole) {
    std::vector<const Polygon*> chosen;
    chosen.reserve(members.size());
    for (std::size_t k : members) chosen.push_back(clips[k]);
    // Clips the partition could not separate overlap one another (stacked
    // openings, copies of one hole through a slab's depth): united a batch
    // at a time, they shrink to a few polygons before the pass that
    // subtracts them, instead of meeting it all at once.
    std::vector<Region> merged;
    while (chosen.size() > clips_per_pass) {
      std::vector<Region> level;
      for (std::size_t k = 0; k < chosen.size(); k += clips_per_pass) {
        const std::size_t end = std::min(chosen.size(), k + clips_per_pass);
        level.push_back(unite(std::span<const Polygon* const>(chosen).subspan(k, end - k)));
      }
      std::vector<const Polygon*> next;
      for (const Region& r : level) {
        for (const Polygon& p : r) next.push_back(&p);
      }
      const bool shrank = next.size() < chosen.size();
      merged.insert(merged.end(), std::make_move_iterator(level.begin()),
                    std::make_move_iterator(level.end()));
      // Moving a Region keeps its polygons where they are, so the pointers
      // into `level` stay valid in `merged`.
      chosen.swap(next);
      if (!shrank) break;
    }
    if (whole) {
      total += measure_pass(subject, chosen);
      return;
    }
    const Region piece = intersect(subject, rectangle(cell));
    if (!piece.empty()) total += measure_pass(piece, chosen);
  }

  void split(const Box2& cell, std::vector<std::size_t>& members, int depth) {
    if (members.size() <= clips_per_pass || depth >= max_partition_depth) {
      leaf(cell, members, false);
      return;
    }
    const int axis = (cell.hi[0] - cell.lo[0]) >= (cell.hi[1] - cell.lo[1]) ? 0 : 1;
    std::vector<double> centres;
    centres.reserve(members.size());
    for (std::size_t k : members) centres.push_back(0.5 * (boxes[k].lo[axis] + boxes[k].hi[axis]));
    auto middle = centres.begin() + static_cast<std::ptrdiff_t>(centres.size() / 2);
    std::nth_element(centres.begin(), middle, centres.end());
    double cut = *middle;
    if (!(cut > cell.lo[axis] && cut < cell.hi[axis])) cut = 0.5 * (cell.lo[axis] + cell.hi[axis]);
    if (!(cut > cell.lo[axis] && cut < cell.hi[axis])) {
      leaf(cell, members, false);
      return;
    }
    Box2 lower = cell, upper = cell;
    lower.hi[axis] = cut;
    upper.lo[axis] = cut;
    std::vector<std::size_t> below, above;
    for (std::size_t k : members) {
      if (overlap_has_area(boxes[k], lower)) below.push_back(k);
      if (overlap_has_area(boxes[k], upper)) above.push_back(k);
    }
    // Clips that mostly span the cut cannot be separated (overlapping
    // openings): splitting on would copy them into ever more cells, so one
    // leaf takes them all, where they are united a batch at a time.
    if (2 * (below.size() + above.size()) > 3 * members.size()) {
      leaf(cell, members, false);
      return;
    }
    std::vector<std::size_t>().swap(members);
    split(lower, below, depth + 1);
    split(upper, above, depth + 1);
  }
};

}  // namespace

Polygon GeometryKernel::project_and_build_polygon(const std::vector<Vector3D>& vertices,
                                                  std::span<const Index> face,
                                                  const Vector3D& origin, const Vector3D& u,
                                                  const Vector3D& v) {
  Polygon polygon;
  Ring& ring = polygon.outer;
  ring.reserve(face.size() + 1);
  for (Index i : face) {
    const Vector3D d = vertices[i] - origin;
    ring.push_back({dot(d, u), dot(d, v)});
  }
  if (!ring.empty() && !(ring.back() == ring.front())) ring.push_back(ring.front());
  return polygon;
}

Region intersect(const Polygon& subject, const Polygon& clip) {
  return run(&subject, nullptr, clip, ClipperLib::ctIntersection);
}

Region intersect(const Region& subject, const Polygon& clip) {
  return run(nullptr, &subject, clip, ClipperLib::ctIntersection);
}

Region subtract(const Polygon& subject, const Polygon& clip) {
  return run(&subject, nullptr, clip, ClipperLib::ctDifference);
}

Region subtract(const Region& subject, const Polygon& clip) {
  return run(nullptr, &subject, clip, ClipperLib::ctDifference);
}

namespace {

// Twice the signed area of the turn a -> b -> c.
double turn(const Point2& a, const Point2& b, const Point2& c) {
  return (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
}

// Whether an edge normal of `a` separates the two rings.
bool separates(const Ring& a, const Ring& b) {
  for (std::size_t k = 0; k + 1 < a.size(); ++k) {
    const double nx = a[k + 1].y - a[k].y, ny = a[k].x - a[k + 1].x;
    double lo_a = INFINITY, hi_a = -INFINITY, lo_b = INFINITY, hi_b = -INFINITY;
    for (const Point2& p : a) {
      const double d = nx * p.x + ny * p.y;
      lo_a = std::fmin(lo_a, d);
      hi_a = std::fmax(hi_a, d);
    }
    for (const Point2& p : b) {
      const double d = nx * p.x + ny * p.y;
      lo_b = std::fmin(lo_b, d);
      hi_b = std::fmax(hi_b, d);
    }
    if (!(hi_a > lo_b && hi_b > lo_a)) return true;
  }
  return false;
}

}  // namespace

bool is_convex_ring(const Ring& ring, double& sign) {
  if (ring.size() < 4 || !(ring.front() == ring.back())) return false;
  const std::size_t n = ring.size() - 1;
  sign = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double t = turn(ring[k], ring[(k + 1) % n], ring[(k + 2) % n]);
    if (!std::isfinite(t)) return false;
    if (t == 0.0) continue;
    if (sign == 0.0) sign = t > 0.0 ? 1.0 : -1.0;
    if ((t > 0.0) != (sign > 0.0)) return false;
  }
  return sign != 0.0;
}

bool inside_convex_ring(const Ring& ring, double sign, const Point2& p) {
  for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
    if (turn(ring[k], ring[k + 1], p) * sign < 0.0) return false;
  }
  return true;
}

bool convex_rings_overlap(const Ring& a, const Ring& b) {
  // Every edge of one against every corner of the other: for large rings the
  // clipper, which the caller runs next anyway, is the cheaper answer.
  constexpr std::size_t most_pairs = 4096;
  if (a.size() * b.size() > most_pairs) return true;
  return !separates(a, b) && !separates(b, a);
}

double ring_area(const Ring& ring) {
  if (!is_measurable(ring)) return 0.0;
  return std::fabs(twice_signed_area(ring)) * 0.5;
}

double polygon_area(const Polygon& polygon) {
  double area = ring_area(polygon.outer);
  for (const Ring& hole : polygon.holes) area -= ring_area(hole);
  return std::fabs(area);
}

double region_area(const Region& region) {
  double area = 0.0;
  for (const Polygon& polygon : region) area += polygon_area(polygon);
  return area;
}

std::optional<Point2> region_centroid(const Region& region) {
  return measure(region).centroid();
}

std::optional<Point2> RegionMeasure::centroid() const noexcept {
  if (weight == 0.0) return std::nullopt;
  return Point2{mx / weight, my / weight};
}

RegionMeasure& RegionMeasure::operator+=(const RegionMeasure& other) noexcept {
  weight += other.weight;
  mx += other.mx;
  my += other.my;
  return *this;
}

RegionMeasure& RegionMeasure::operator-=(const RegionMeasure& other) noexcept {
  weight -= other.weight;
  mx -= other.mx;
  my -= other.my;
  return *this;
}

RegionMeasure measure(const Region& region) {
  RegionMeasure m;
  for (const Polygon& polygon : region) {
    add_moment(polygon.outer, 1.0, m.weight, m.mx, m.my);
    for (const Ring& hole : polygon.holes) add_moment(hole, -1.0, m.weight, m.mx, m.my);
  }
  return m;
}

Region subtract_union(const Region& subject, std::span<const Polygon* const> clips) {
  if (clips.empty() || subject.empty()) return subject;
  const ScratchLease lease;
  Scratch& s = *lease;
  Grid grid;
  if (!prepare_difference(s, subject, clips, grid)) return {};
  Region region;
  if (s.clipper.Execute(ClipperLib::ctDifference, s.tree, ClipperLib::pftEvenOdd,
                        ClipperLib::pftPositive)) {
    for (const ClipperLib::PolyNode* node : s.tree.Childs) collect_outer(*node, grid, region);
  }
  return region;
}

Region unite(std::span<const Polygon* const> polygons, double fuse) {
  if (polygons.empty()) return {};
  const ScratchLease lease;
  Scratch& s = *lease;
  double max_abs = 0.0;
  for (const Polygon* p : polygons) {
    if (!fold_extent(*p, max_abs)) return {};
  }
  const Grid grid = grid_for(max_abs);
  // Each polygon goes in as positively wound simple rings, so the union is
  // the positive fill of them all.
  for (const Polygon* p : polygons) add_clip_positive(s, *p, grid);
  Region region;
  const double delta = std::isfinite(fuse) ? fuse * grid.scale : 0.0;
  if (!(delta >= 1.0)) {
    if (s.clipper.Execute(ClipperLib::ctUnion, s.tree, ClipperLib::pftPositive,
                          ClipperLib::pftPositive)) {
      for (const ClipperLib::PolyNode* node : s.tree.Childs) collect_outer(*node, grid, region);
    }
    return region;
  }
  ClipperLib::Paths united, grown;
  if (!s.clipper.Execute(ClipperLib::ctUnion, united, ClipperLib::pftPositive,
                         ClipperLib::pftPositive)) {
    return region;
  }
  // The grown shape stays within the grid's range: fuse is tiny beside the
  // extent the grid was chosen for.
  ClipperLib::ClipperOffset offset;
  offset.AddPaths(united, ClipperLib::jtMiter, ClipperLib::etClosedPolygon);
  offset.Execute(grown, delta);
  offset.Clear();
  offset.AddPaths(grown, ClipperLib::jtMiter, ClipperLib::etClosedPolygon);
  offset.Execute(s.tree, -delta);
  for (const ClipperLib::PolyNode* node : s.tree.Childs) collect_outer(*node, grid, region);
  return region;
}

RegionMeasure measure_difference(const Region& subject, std::span<const Polygon* const> clips) {
  if (subject.empty()) return {};
  Box2 reach;
  for (const Polygon& p : subject) reach.add(p);
  std::vector<Box2> boxes(clips.size());
  std::vector<std::size_t> members;
  for (std::size_t k = 0; k < clips.size(); ++k) {
    boxes[k].add(*clips[k]);
    if (overlap_has_area(boxes[k], reach)) members.push_back(k);
  }
  Partition partition{subject, clips, boxes, {}};
  if (members.size() <= clips_per_pass) {
    partition.leaf(reach, members, true);
  } else {
    partition.split(reach, members, 0);
  }
  return partition.total;
}

}  // namespace kovalith
