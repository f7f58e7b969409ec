// Candidate search of the building compiler: for each face of a room, the
// faces of later rooms that lie in front of it within the gap, their overlap,
// and the steps that turn an overlap into a contact.
#include <algorithm>
#include <cmath>
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

    // The face's box swept along its normal over the largest gap, padded by
    // the distance: every face that may lie in front of it meets this box.
    Box3 query = padded_face_box(mesh_.vertices, pair.f, 0.0);
    const double sweep[3] = {n.x * reach, n.y * reach, n.z * reach};
    for (int a = 0; a < 3; ++a) {
      query.lo[a] += std::fmin(0.0, sweep[a]) - set.distance;
      query.hi[a] += std::fmax(0.0, sweep[a]) + set.distance;
    }
    BuildingScratch& s = building_scratch();
    s.hits.clear();
    in_.faces->query(query, 0, s.hits);
    pair.axes = plane_frame(n);

    // Room faces in front of f, nearest first. Faces of earlier rooms are
    // kept too: they never pair with f here, but they shade it.
    s.candidates.clear();
    for (std::size_t leaf : s.hits) {
      const std::size_t j = static_cast<std::size_t>(in_.leaves[leaf].mesh_index);
      if (j == i_) continue;
      const std::optional<FacePlane>& other = in_.planes[leaf];
      if (!other) continue;
      const double k = dot(n, other->normal);
      const bool opposed = k < -in_.parallel;
      if (!opposed && !(k > in_.parallel)) continue;
      if (!opposed && j < i_) continue;
      const Mesh& other_mesh = in_.meshes[j];
      const Span t = distances(
          other_mesh, other_mesh.face(static_cast<std::size_t>(in_.leaves[leaf].face_index)),
          pair.o, n);
      if (!(t.lo >= -set.distance)) continue;
      if (!(t.hi <= (opposed ? reach : set.distance))) continue;
      s.candidates.push_back({leaf, j, t, opposed});
    }
    if (s.candidates.empty()) return;
    std::stable_sort(s.candidates.begin(), s.candidates.end(),
                     [](const Candidate& x, const Candidate& y) { return x.t.lo < y.t.lo; });
    s.by_far_side.resize(s.candidates.size());
    for (std::size_t q = 0; q < s.candidates.size(); ++q) s.by_far_side[q] = q;
    std::stable_sort(s.by_far_side.begin(), s.by_far_side.end(), [&](std::size_t x, std::size_t y) {
      return s.candidates[x].t.hi < s.candidates[y].t.hi;
    });

    // The shadow: opposed faces of other rooms wholly nearer than the
    // candidate at hand. Each is an occluder of every farther pair whose
    // second room it does not belong to, so once the shadow covers f, such
    // pairs have nothing left and need no test: a stack of thin rooms, or
    // a gap setting far beyond the model, costs one test per face.
    if (s.shadow_stamp.size() < in_.meshes.size()) s.shadow_stamp.assign(in_.meshes.size(), 0);
    const std::uint64_t stamp = ++s.face_stamp;
    s.shadow.clear();
    std::size_t shaded = 0;      // candidates by t.hi taken into the shadow
    std::size_t checked = 0;     // shadow size at the last coverage test
    bool covered = false;
    bool projected = false;
    bool a_convex = false;
    Box2 a_box;
    const std::size_t first_contact = out_.contacts.size();

    for (const Candidate& cand : s.candidates) {
      while (shaded < s.by_far_side.size() &&
             s.candidates[s.by_far_side[shaded]].t.hi < cand.t.lo - set.distance) {
        const Candidate& h = s.candidates[s.by_far_side[shaded++]];
        if (!h.opposed || covered) continue;
        const Mesh& mesh = in_.meshes[h.room];
        project_into(pool_slot(s.shadow, s.shadow.size() + 1), mesh,
                     mesh.face(static_cast<std::size_t>(in_.leaves[h.leaf].face_index)), pair.o,
                     pair.axes);
        s.shadow_stamp[h.room] = stamp;
      }
      if (cand.room < i_) continue;
      if (!projected) {
        project_into(s.a, mesh_, pair.f, pair.o, pair.axes);
        a_box = bounds(s.a);
        pair.sliver = sliver_share * polygon_area(s.a);
        double a_sign = 0.0;
        a_convex = is_convex_ring(s.a.outer, a_sign);
        projected = true;
      }
      if (!covered && s.shadow.size() > checked) {
        checked = s.shadow.size();
        s.pointers.clear();
        for (const Polygon& p : s.shadow) s.pointers.push_back(&p);
        covered = !(measure_difference(Region{s.a}, s.pointers).area() > 0.0);
      }
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
      if (!touching) overlap = remove_occluded(in_, pair, s.hits, std::move(overlap));
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

void search_room_faces(const BuildingInputs& in, std::size_t i, std::size_t first_face,
                       std::size_t end_face, ContactLists& out) {
  RoomSearch(in, i, out).run(first_face, end_face);
}

}  // namespace kovalith
