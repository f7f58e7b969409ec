// Candidate search of the building compiler: for each face of a room, the
// faces of later rooms that lie in front of it within the gap, their overlap,
// and the steps that turn an overlap into a contact.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "graph/building_search.h"
#include "support/thread_scratch.h"

namespace kovalith {

Span distances(const Mesh& mesh, std::span<const Index> face, const Vector3D& o,
               const Vector3D& n) {
  Span s;
  double sum = 0.0;
  for (Index k : face) {
    const double t = dot(n, mesh.vertices[k] - o);
    s.lo = std::fmin(s.lo, t);
    s.hi = std::fmax(s.hi, t);
    sum += t;
  }
  s.mean = sum / static_cast<double>(face.size());
  return s;
}

void project_into(Polygon& out, const Mesh& mesh, std::span<const Index> face, const Vector3D& o,
                  const PlaneFrame& axes) {
  out.holes.clear();
  Ring& ring = out.outer;
  ring.clear();
  for (Index k : face) {
    const Vector3D d = mesh.vertices[k] - o;
    ring.push_back({dot(d, axes.u), dot(d, axes.v)});
  }
  if (!ring.empty() && !(ring.back() == ring.front())) ring.push_back(ring.front());
}

Box3 PairGeometry::between(double distance) const {
  Box3 box = padded_face_box(f_mesh->vertices, f, distance);
  const Box3 other = padded_face_box(g_mesh->vertices, g, distance);
  for (int a = 0; a < 3; ++a) {
    box.lo[a] = std::fmin(box.lo[a], other.lo[a]);
    box.hi[a] = std::fmax(box.hi[a], other.hi[a]);
  }
  return box;
}

bool project_in_slab(const BuildingInputs& in, const PairGeometry& pair, const Mesh& mesh,
                     std::span<const Index> face, const Vector3D& normal, Polygon& out) {
  if (!(std::fabs(dot(pair.n, normal)) > in.parallel)) return false;
  const double d = in.settings.distance;
  const Span ta = distances(mesh, face, pair.o, pair.n);
  if (!(ta.lo >= pair.low(d) && ta.hi <= pair.high(d))) return false;
  project_into(out, mesh, face, pair.o, pair.axes);
  return true;
}

void ContactLists::append(ContactLists&& part) {
  for (Contact& c : part.contacts) {
    c.openings_first += openings.size();
    c.elements_first += elements.size();
    c.crossings_first += crossings.size();
    c.regions_first += regions.size();
  }
  contacts.insert(contacts.end(), part.contacts.begin(), part.contacts.end());
  openings.insert(openings.end(), part.openings.begin(), part.openings.end());
  elements.insert(elements.end(), part.elements.begin(), part.elements.end());
  crossings.insert(crossings.end(), part.crossings.begin(), part.crossings.end());
  regions.insert(regions.end(), std::make_move_iterator(part.regions.begin()),
                 std::make_move_iterator(part.regions.end()));
  part = ContactLists();
}

BuildingScratch& building_scratch() {
  return thread_scratch<BuildingScratch>();
}

Polygon& pool_slot(std::vector<Polygon>& pool, std::size_t n) {
  if (pool.size() < n) pool.resize(n);
  return pool[n - 1];
}

namespace {

// An opening cuts a contact, and an element lies behind one, only where it
// covers more than this share of the area of the face that found it: one
// that only meets the contact's edge leaves a sliver of rounding.
constexpr double sliver_share = 1e-9;

// Heap orders over indices into the near faces: the least near side (far
// side) on top, ties in face order, as a stable sort of the faces would take
// them.
struct NearSideAbove {
  const std::vector<NearFace>& near;
  bool operator()(std::size_t x, std::size_t y) const {
    const NearFace &a = near[x], &b = near[y];
    return a.t.lo != b.t.lo ? a.t.lo > b.t.lo : a.leaf > b.leaf;
  }
};
struct FarSideAbove {
  const std::vector<NearFace>& near;
  bool operator()(std::size_t x, std::size_t y) const {
    const NearFace &a = near[x], &b = near[y];
    return a.t.hi != b.t.hi ? a.t.hi > b.t.hi : a.leaf > b.leaf;
  }
};

double along(const Vector3D& v, int axis) {
  return axis == 0 ? v.x : axis == 1 ? v.y : v.z;
}

// How many room faces a face's search box may hold before the search fetches
// them nearest first instead: past this, a few narrow steps cost less than
// reading every face once per face (a stack of thin rooms in one slab gap).
std::atomic<std::size_t> near_face_limit{64};

// The faces of other rooms parallel to face f within its search box (f's
// box swept along its normal over the gap, padded by the distance), fetched
// in steps of widening depth along the normal's largest axis. After each
// step every face not fetched yet lies at least `bound()` in front of f's
// plane, so a caller taking candidates nearest first may stop early.
class FrontFaces {
 public:
  FrontFaces(const BuildingInputs& in, std::size_t i, const Box3& face_box, const Vector3D& o,
             const Vector3D& n, double reach, BuildingScratch& s)
      : in_(in), i_(i), face_box_(face_box), o_(o), n_(n), reach_(reach), s_(s) {
    for (int a = 1; a < 3; ++a) {
      if (std::fabs(along(n_, a)) > std::fabs(along(n_, axis_))) axis_ = a;
    }
    s_.near.clear();
    s_.nearest.clear();
    s_.far_side.clear();
    s_.hits.clear();
    const std::size_t limit = near_face_limit.load(std::memory_order_relaxed);
    if (in_.faces->query_at_most(box(reach_), nullptr, limit, s_.hits)) {
      take_hits();
      return;
    }
    // Too many: narrow the depth until the box holds few enough (or the
    // depth is a tiny share of the gap: faces crowding f itself must all be
    // read), then widen step by step as the caller needs.
    // A limit of 0 starts from the narrowest depth: the tests' way of taking
    // every face through the steps.
    s_.hits.clear();
    if (!std::isfinite(bound_at(0.0))) {
      in_.faces->query_at_most(box(reach_), nullptr, SIZE_MAX, s_.hits);
      take_hits();
      return;
    }
    double depth = reach_ / narrowing;
    for (; depth / narrowing > reach_ * finest; depth /= narrowing) {
      if (limit == 0) continue;
      if (in_.faces->query_at_most(box(depth), nullptr, limit, s_.hits)) break;
      s_.hits.clear();
    }
    if (s_.hits.empty()) in_.faces->query_at_most(box(depth), nullptr, SIZE_MAX, s_.hits);
    depth_ = depth;
    bound_ = bound_at(depth);
    take_hits();
  }

  // Every face not fetched yet lies at least this far in front of f's plane.
  double bound() const { return bound_; }

  // Fetches the next step; false once every face is fetched.
  bool widen() {
    if (!(depth_ < reach_)) return false;
    const Box3 before = box(depth_);
    depth_ = depth_ * narrowing < reach_ ? depth_ * narrowing : reach_;
    bound_ = depth_ < reach_ ? bound_at(depth_) : INFINITY;
    s_.hits.clear();
    in_.faces->query_at_most(box(depth_), &before, SIZE_MAX, s_.hits);
    take_hits();
    return true;
  }

  // Fetches until every face whose near side lies within t is fetched.
  void fetch_within(double t) {
    while (!(bound_ > t) && widen()) {
    }
  }

  // No face of room k lies farther in front of f's plane than this.
  double room_reach(std::size_t k) const {
    const Box3& b = in_.room_boxes[k];
    double far = 0.0, scale = 0.0;
    for (int a = 0; a < 3; ++a) {
      far += std::fmax(along(n_, a) * (b.lo[a] - along(o_, a)), along(n_, a) * (b.hi[a] - along(o_, a)));
      scale += std::fabs(along(n_, a)) * (std::fabs(b.lo[a]) + std::fabs(b.hi[a]) + std::fabs(along(o_, a)));
    }
    return far + margin * scale;
  }

 private:
  // Narrowing divides the depth by this, widening multiplies it; the
  // narrowest depth tried is `finest` of the gap.
  static constexpr double narrowing = 4.0;
  static constexpr double finest = 1.0 / 65536.0;
  // Relative rounding allowance of the bounds, against the distances the
  // search computes corner by corner.
  static constexpr double margin = 1e-9;

  // The search box at a depth along the largest axis (the whole gap along
  // the others). At the full gap it is exactly the face's search box.
  Box3 box(double depth) const {
    const double distance = in_.settings.distance;
    Box3 q = face_box_;
    for (int a = 0; a < 3; ++a) {
      const double sweep = along(n_, a) * (a == axis_ ? depth : reach_);
      q.lo[a] += std::fmin(0.0, sweep) - distance;
      q.hi[a] += std::fmax(0.0, sweep) + distance;
    }
    return q;
  }

  // The least distance in front of f's plane of a face whose envelope lies
  // in the full box but beyond the box at `depth` along the largest axis:
  // its corners are there along that axis, and along the others within the
  // full box widened by the widest envelope.
  double bound_at(double depth) const {
    const Box3 full = box(reach_), part = box(depth);
    const int m = axis_;
    double bound = along(n_, m) * ((along(n_, m) > 0.0 ? part.hi[m] : part.lo[m]) - along(o_, m));
    double scale = std::fabs(along(n_, m)) * (std::fabs(part.lo[m]) + std::fabs(part.hi[m]));
    for (int a = 0; a < 3; ++a) {
      scale += std::fabs(along(n_, a)) * std::fabs(along(o_, a));
      if (a == m) continue;
      const double lo = full.lo[a] - in_.widest[a], hi = full.hi[a] + in_.widest[a];
      bound += std::fmin(along(n_, a) * (lo - along(o_, a)), along(n_, a) * (hi - along(o_, a)));
      scale += std::fabs(along(n_, a)) * (std::fabs(lo) + std::fabs(hi));
    }
    // Pads of a negative distance shrink envelopes inside their corners.
    if (!(in_.settings.distance >= 0.0)) return -INFINITY;
    return bound - margin * scale;
  }

  void take_hits() {
    const BuildingSettings& set = in_.settings;
    const NearSideAbove nearer{s_.near};
    const FarSideAbove nearer_far_side{s_.near};
    for (std::size_t leaf : s_.hits) {
      const std::size_t j = static_cast<std::size_t>(in_.leaves[leaf].mesh_index);
      if (j == i_) continue;
      const std::optional<FacePlane>& other = in_.planes[leaf];
      if (!other) continue;
      const double k = dot(n_, other->normal);
      if (!(std::fabs(k) > in_.parallel)) continue;
      const Mesh& other_mesh = in_.meshes[j];
      const Span t = distances(
          other_mesh, other_mesh.face(static_cast<std::size_t>(in_.leaves[leaf].face_index)), o_,
          n_);
      s_.near.push_back({leaf, j, t, k});
      // Candidates: faces of other rooms facing f within the gap, and faces
      // of later rooms on f's own plane. Faces of earlier rooms are kept
      // too: they never pair with f here, but they shade it.
      const bool opposed = k < -in_.parallel;
      if (!opposed && !(k > in_.parallel)) continue;
      if (!opposed && j < i_) continue;
      if (!(t.lo >= -set.distance)) continue;
      if (!(t.hi <= (opposed ? reach_ : set.distance))) continue;
      s_.nearest.push_back(s_.near.size() - 1);
      std::push_heap(s_.nearest.begin(), s_.nearest.end(), nearer);
      s_.far_side.push_back(s_.near.size() - 1);
      std::push_heap(s_.far_side.begin(), s_.far_side.end(), nearer_far_side);
    }
  }

  const BuildingInputs& in_;
  std::size_t i_;
  Box3 face_box_;
  Vector3D o_, n_;
  double reach_;
  BuildingScratch& s_;
  int axis_ = 0;  // the normal's largest axis
  double depth_ = INFINITY;  // of the last step; the full gap once all are fetched
  double bound_ = INFINITY;
};

// Pops the top of a heap of indices into `near` ordered like FrontFaces.
template <class Less>
std::size_t pop_top(std::vector<std::size_t>& heap, Less less) {
  std::pop_heap(heap.begin(), heap.end(), less);
  const std::size_t top = heap.back();
  heap.pop_back();
  return top;
}

class RoomSearch {
 public:
  RoomSearch(const BuildingInputs& in, std::size_t i, ContactLists& out)
      : in_(in), i_(i), mesh_(in.meshes[i]), out_(out) {}

  void run(std::size_t first_face, std::size_t end_face) {
    const std::size_t first = in_.offsets[i_];
    for (std::size_t f = first_face; f < end_face; ++f) {
      if (interrupted(in_.interrupt)) return;
      const std::optional<FacePlane>& plane = in_.planes[first + f];
      if (plane) face(f, plane->normal);
    }
  }

 private:
  void face(std::size_t f, const Vector3D& n) {
    const BuildingSettings& set = in_.settings;
    PairGeometry pair;
    pair.i = i_;
    pair.f = mesh_.face(f);
    pair.f_mesh = &mesh_;
    pair.o = mesh_.vertices[pair.f[0]];
    pair.n = n;
    pair.slab = is_slab_normal(n);
    const double reach = (pair.slab ? set.slab_gap : set.wall_gap) + set.distance;
    // Merged edges are measured whole: the pieces of a triangulated wall may
    // each be small, so only a face-pair edge is held to min_area here.
    const double keep = set.merge == MergeMode::face ? set.min_area : 0.0;

    BuildingScratch& s = building_scratch();
    FrontFaces front(in_, i_, padded_face_box(mesh_.vertices, pair.f, 0.0), pair.o, n, reach, s);
    if (s.nearest.empty() && front.bound() == INFINITY) return;
    pair.axes = plane_frame(n);
    const std::vector<NearFace>& near = s.near;
    const NearSideAbove nearer{near};
    const FarSideAbove nearer_far_side{near};

    // Candidates are taken nearest first. The shadow: opposed faces of
    // other rooms wholly nearer than the candidate at hand. Each is an
    // occluder of every farther pair whose second room it does not belong
    // to, so once the shadow covers f, such pairs have nothing left and
    // need no test, and once the faces not fetched yet all lie beyond the
    // rooms in the shadow, none is left to take: a stack of thin rooms, or
    // a gap setting far beyond the model, costs a few faces per face.
    if (s.shadow_stamp.size() < in_.meshes.size()) s.shadow_stamp.assign(in_.meshes.size(), 0);
    const std::uint64_t stamp = ++s.face_stamp;
    s.shadow.clear();
    std::size_t checked = 0;     // shadow size at the last coverage test
    double shadow_reach = -INFINITY;  // no face of a room in the shadow lies farther
    bool covered = false;
    bool projected = false;
    bool a_convex = false;
    Box2 a_box;
    const std::size_t first_contact = out_.contacts.size();

    const auto project_f = [&] {
      if (projected) return;
      project_into(s.a, mesh_, pair.f, pair.o, pair.axes);
      a_box = bounds(s.a);
      pair.sliver = sliver_share * polygon_area(s.a);
      double a_sign = 0.0;
      a_convex = is_convex_ring(s.a.outer, a_sign);
      projected = true;
    };
    const auto check_cover = [&] {
      if (covered || s.shadow.size() == checked) return;
      project_f();
      checked = s.shadow.size();
      s.pointers.clear();
      for (const Polygon& p : s.shadow) s.pointers.push_back(&p);
      covered = !(measure_difference(Region{s.a}, s.pointers).area() > 0.0);
    };

    for (;;) {
      if (s.nearest.empty() || !(near[s.nearest.front()].t.lo < front.bound())) {
        // Between steps the shadow is tested too: below the bottom face of
        // a stack every face in front belongs to an earlier room.
        if (front.bound() != INFINITY) check_cover();
        if (covered && front.bound() > shadow_reach) break;
        if (!front.widen()) break;
        continue;
      }
      const NearFace cand = near[pop_top(s.nearest, nearer)];
      while (!s.far_side.empty() &&
             near[s.far_side.front()].t.hi < cand.t.lo - set.distance) {
        const NearFace& h = near[pop_top(s.far_side, nearer_far_side)];
        if (!(h.cosine < -in_.parallel) || covered) continue;
        const Mesh& mesh = in_.meshes[h.room];
        project_into(pool_slot(s.shadow, s.shadow.size() + 1), mesh,
                     mesh.face(static_cast<std::size_t>(in_.leaves[h.leaf].face_index)), pair.o,
                     pair.axes);
        s.shadow_stamp[h.room] = stamp;
        shadow_reach = std::fmax(shadow_reach, front.room_reach(h.room));
      }
      if (cand.room < i_) continue;
      project_f();
      check_cover();
      if (covered && s.shadow_stamp[cand.room] != stamp) continue;

      const std::size_t j = cand.room;
      const Mesh& other_mesh = in_.meshes[j];
      const std::span<const Index> g =
          other_mesh.face(static_cast<std::size_t>(in_.leaves[cand.leaf].face_index));
      const Span& t = cand.t;
      project_into(s.b, other_mesh, g, pair.o, pair.axes);
      if (!overlap_has_area(a_box, bounds(s.b))) continue;
      // Convex faces (every triangle) whose boxes meet may still be apart:
      // a fan of slivers from one corner has every box covering the wall.
      double b_sign = 0.0;
      if (a_convex && is_convex_ring(s.b.outer, b_sign) &&
          !convex_rings_overlap(s.a.outer, s.b.outer)) {
        continue;
      }
      Region overlap = intersect(s.a, s.b);
      if (overlap.empty()) continue;
      if (!(measure(overlap).area() > keep)) continue;

      pair.j = j;
      pair.g = g;
      pair.g_mesh = &other_mesh;
      pair.t = t;
      const bool touching = t.hi <= set.distance;
      const double gap = touching ? 0.0 : std::fmax(0.0, t.mean);
      if (!touching) {
        front.fetch_within(t.hi + set.distance);
        overlap = remove_occluded(in_, pair, s.near, std::move(overlap));
      }
      // min_area holds the gross contact (openings included): a contact
      // lying wholly inside a stair hole is a way through, not nothing.
      const RegionMeasure open = measure(overlap);
      if (!(open.area() > keep)) continue;

      Contact c;
      c.leaf = cand.leaf;
      c.openings_first = out_.openings.size();
      Region net_region;
      const RegionMeasure net =
          cut_openings(in_, pair, overlap, out_.openings,
                       in_.keep_regions && !in_.gross_regions ? &net_region : nullptr);
      if (in_.keep_regions && in_.gross_regions) net_region = overlap;
      c.openings_count = out_.openings.size() - c.openings_first;
      RegionMeasure removed = open;
      removed -= net;
      const Point2 centre = net.centroid().value_or(Point2{});
      const Vector3D lift = n * (0.5 * gap);
      c.other = j;
      c.normal = n;
      c.plane_point = pair.o;
      c.area = std::fmax(0.0, net.area());
      c.gross = open.area();
      const Point2 gc = open.centroid().value_or(Point2{});
      c.gross_moment = (pair.o + pair.axes.u * gc.x + pair.axes.v * gc.y + lift) * open.area();
      c.centroid = pair.o + pair.axes.u * centre.x + pair.axes.v * centre.y + lift;
      c.gap = gap;
      c.type = contact_type_of(n);
      if (c.openings_count > 0 && removed.area() > pair.sliver) {
        const Point2 rc = *removed.centroid();  // its area passed the sliver test
        c.opening_area = removed.area();
        c.opening_moment =
            (pair.o + pair.axes.u * rc.x + pair.axes.v * rc.y + lift) * removed.area();
      }
      if (in_.keep_regions) {
        c.regions_first = out_.regions.size();
        c.regions_count = net_region.size();
        for (Polygon& p : net_region) out_.regions.push_back(std::move(p));
      }
      if (in_.search_elements) {
        c.elements_first = out_.elements.size();
        c.crossings_first = out_.crossings.size();
        find_elements(in_, pair, overlap, out_.elements, out_.crossings);
        c.elements_count = out_.elements.size() - c.elements_first;
        c.crossings_count = out_.crossings.size() - c.crossings_first;
      }
      out_.contacts.push_back(c);
    }
    // Contacts of one face go out in candidate (mesh, face) order, whatever
    // order the distances gave them.
    std::stable_sort(out_.contacts.begin() + static_cast<std::ptrdiff_t>(first_contact),
                     out_.contacts.end(),
                     [](const Contact& x, const Contact& y) { return x.leaf < y.leaf; });
  }

  const BuildingInputs& in_;
  std::size_t i_;
  const Mesh& mesh_;
  ContactLists& out_;
};

}  // namespace

std::size_t set_near_face_limit(std::size_t limit) noexcept {
  return near_face_limit.exchange(limit);
}

void search_room_faces(const BuildingInputs& in, std::size_t i, std::size_t first_face,
                       std::size_t end_face, ContactLists& out) {
  RoomSearch(in, i, out).run(first_face, end_face);
}

}  // namespace kovalith
