#include "graph/building_contacts.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>

#include "graph/face_index.h"
#include "graph/spatial_order.h"
#include "graph/wire_contacts.h"
#include "kernel/plane.h"
#include "kernel/polygon.h"
#include "kernel/vertex_mean.h"

namespace kovalith {
namespace {

// |n.z| above this (strictly) makes a slab contact; the literal, not 1/sqrt(2).
constexpr double slab_threshold = 0.707;
// An opening cuts a contact when it removes more than this share of the area
// of the face that found it: one that only meets the contact's edge (a door box whose bottom lies
// on the slab below) leaves a sliver of rounding, not a way through.
constexpr double sliver_share = 1e-9;
// Faces searched by one task of the worker pool.
constexpr std::size_t faces_per_task = 256;

struct Box2 {
  double lo_x = INFINITY, lo_y = INFINITY, hi_x = -INFINITY, hi_y = -INFINITY;
  void add(const Ring& ring) {
    for (const Point2& p : ring) {
      lo_x = std::fmin(lo_x, p.x);
      hi_x = std::fmax(hi_x, p.x);
      lo_y = std::fmin(lo_y, p.y);
      hi_y = std::fmax(hi_y, p.y);
    }
  }
};

bool overlap_has_area(const Box2& a, const Box2& b) {
  return std::fmin(a.hi_x, b.hi_x) > std::fmax(a.lo_x, b.lo_x) &&
         std::fmin(a.hi_y, b.hi_y) > std::fmax(a.lo_y, b.lo_y);
}

Box2 bounds(const Region& region) {
  Box2 box;
  for (const Polygon& p : region) box.add(p.outer);
  return box;
}

bool is_finite(const Vector3D& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Sign of the enclosed volume (divergence theorem over fan triangles, taken
// about the mesh's first vertex so that coordinates far from the origin do
// not cancel). Negative means the faces are wound inside out.
double signed_volume(const Mesh& mesh) {
  if (mesh.vertices.empty()) return 0.0;
  const Vector3D r = mesh.vertices.front();
  double volume = 0.0;
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const std::span<const Index> face = mesh.face(f);
    const Vector3D a = mesh.vertices[face[0]] - r;
    for (std::size_t k = 2; k < face.size(); ++k) {
      const Vector3D b = mesh.vertices[face[k - 1]] - r;
      const Vector3D c = mesh.vertices[face[k]] - r;
      volume += dot(a, cross(b, c));
    }
  }
  return volume;
}

// Writes the face's corners, projected into the frame, into `out` (keeping
// its storage), closed like GeometryKernel::project_and_build_polygon.
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

struct Span {
  double lo = INFINITY, hi = -INFINITY, mean = 0.0;
};

// Distances of the face's corners from the plane through o with normal n.
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

struct ApertureFace {
  std::size_t mesh = 0;
  std::size_t face = 0;
  Vector3D normal;
};

struct Shared {
  std::span<const Mesh> meshes;
  std::span<const Mesh> apertures;
  std::span<const std::size_t> offsets;
  std::span<const SpatialFaceLeaf> leaves;  // each knows its mesh and face
  std::span<const std::optional<FacePlane>> planes;  // outward, numbered like the leaves
  const FaceIndex* faces = nullptr;
  std::span<const ApertureFace> aperture_faces;
  const FaceIndex* aperture_index = nullptr;
  BuildingSettings settings;
  double parallel = 1.0;  // cosine of the angle limit
  Interrupt* interrupt = nullptr;
};

// One accepted face pair, before merging.
struct Contact {
  std::uint64_t other = 0;
  Vector3D normal;       // outward normal of the face of node_a
  Vector3D plane_point;  // a point of that face's plane
  double area = 0.0;
  Vector3D centroid;  // on the mid-plane
  double gap = 0.0;
  double opening_area = 0.0;
  Vector3D opening_moment;  // opening_area * its centre on the mid-plane
  std::size_t openings_first = 0;
  std::size_t openings_count = 0;
  ContactType type = ContactType::vertical_wall;
};

// Working storage of one worker, reused across faces and rooms.
struct Scratch {
  std::vector<std::size_t> hits;
  std::vector<std::size_t> aperture_hits;
  Polygon a, b;
  std::vector<Polygon> occluders;
  std::vector<Polygon> cutters;
  std::vector<const Polygon*> pointers;
  std::vector<std::uint64_t> cut_by;
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

// Grows `pool` to hold at least n polygons and returns polygon n - 1.
Polygon& slot(std::vector<Polygon>& pool, std::size_t n) {
  if (pool.size() < n) pool.resize(n);
  return pool[n - 1];
}

class RoomSearch {
 public:
  RoomSearch(const Shared& in, std::size_t i, std::vector<Contact>& contacts,
             std::vector<std::uint64_t>& openings)
      : in_(in), i_(i), mesh_(in.meshes[i]), contacts_(contacts), openings_(openings) {}

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
    const std::span<const Index> corners = mesh_.face(f);
    const Vector3D o = mesh_.vertices[corners[0]];
    const bool slab = std::fabs(n.z) > slab_threshold;
    const double reach = (slab ? set.slab_gap : set.wall_gap) + set.distance;
    // Merged edges are measured whole: the pieces of a triangulated wall may
    // each be small, so only a face-pair edge is held to min_area here.
    const double keep = set.merge == MergeMode::face ? set.min_area : 0.0;

    // The face's box swept along its normal over the largest gap, padded by
    // the distance: every face that may lie in front of it meets this box.
    Box3 query = padded_face_box(mesh_.vertices, corners, 0.0);
    const double sweep[3] = {n.x * reach, n.y * reach, n.z * reach};
    for (int a = 0; a < 3; ++a) {
      query.lo[a] += std::fmin(0.0, sweep[a]) - set.distance;
      query.hi[a] += std::fmax(0.0, sweep[a]) + set.distance;
    }
    Scratch& s = scratch();
    s.hits.clear();
    in_.faces->query(query, 0, s.hits);
    const PlaneFrame axes = plane_frame(n);
    bool projected = false;
    Box2 a_box;
    double sliver = 0.0;  // areas below this are rounding on the scale of face f

    for (std::size_t leaf : s.hits) {
      const std::size_t j = mesh_of(leaf);
      if (j <= i_) continue;
      const std::optional<FacePlane>& other = in_.planes[leaf];
      if (!other) continue;
      const double k = dot(n, other->normal);
      const bool opposed = k < -in_.parallel;
      if (!opposed && !(k > in_.parallel)) continue;
      const Mesh& other_mesh = in_.meshes[j];
      const std::span<const Index> g = face_of(other_mesh, leaf);
      const Span t = distances(other_mesh, g, o, n);
      if (!(t.lo >= -set.distance)) continue;
      if (!(t.hi <= (opposed ? reach : set.distance))) continue;

      if (!projected) {
        project_into(s.a, mesh_, corners, o, axes);
        a_box = Box2{};
        a_box.add(s.a.outer);
        sliver = sliver_share * polygon_area(s.a);
        projected = true;
      }
      project_into(s.b, other_mesh, g, o, axes);
      Box2 b_box;
      b_box.add(s.b.outer);
      if (!overlap_has_area(a_box, b_box)) continue;
      Region overlap = intersect(s.a, s.b);
      if (overlap.empty()) continue;
      const RegionMeasure whole = measure(overlap);
      if (!(whole.area() > keep)) continue;

      const bool touching = t.hi <= set.distance;
      const double gap = touching ? 0.0 : std::fmax(0.0, t.mean);
      if (!touching) {
        const std::size_t occluders = collect_occluders(j, o, n, axes, t, bounds(overlap));
        if (occluders > 0) {
          s.pointers.clear();
          for (std::size_t q = 0; q < occluders; ++q) s.pointers.push_back(&s.occluders[q]);
          overlap = subtract_union(overlap, s.pointers);
        }
      }
      const RegionMeasure open = measure(overlap);
      if (!(open.area() > keep)) continue;

      const std::size_t cutters =
          collect_openings(corners, g, other_mesh, o, n, axes, t, overlap, sliver);
      RegionMeasure net = open;
      if (cutters > 0) {
        s.pointers.clear();
        for (std::size_t q = 0; q < cutters; ++q) s.pointers.push_back(&s.cutters[q]);
        net = measure_difference(overlap, s.pointers);
      }
      RegionMeasure removed = open;
      removed -= net;
      const bool cut = cutters > 0 && removed.area() > sliver && !s.cut_by.empty();
      if (!(net.area() > keep) && !cut) continue;
      const Point2 centre = net.centroid().value_or(Point2{});

      const Vector3D lift = n * (0.5 * gap);
      Contact c;
      c.other = j;
      c.normal = n;
      c.plane_point = o;
      c.area = std::fmax(0.0, net.area());
      c.centroid = o + axes.u * centre.x + axes.v * centre.y + lift;
      c.gap = gap;
      c.type = slab ? ContactType::horizontal_slab : ContactType::vertical_wall;
      if (cut) {
        const Point2 rc = *removed.centroid();  // its area passed the sliver test
        c.opening_area = removed.area();
        c.opening_moment = (o + axes.u * rc.x + axes.v * rc.y + lift) * removed.area();
      }
      c.openings_first = openings_.size();
      if (c.opening_area > 0.0) {
        std::sort(s.cut_by.begin(), s.cut_by.end());
        s.cut_by.erase(std::unique(s.cut_by.begin(), s.cut_by.end()), s.cut_by.end());
        openings_.insert(openings_.end(), s.cut_by.begin(), s.cut_by.end());
      }
      c.openings_count = openings_.size() - c.openings_first;
      contacts_.push_back(c);
    }
  }

  std::size_t mesh_of(std::size_t leaf) const {
    return static_cast<std::size_t>(in_.leaves[leaf].mesh_index);
  }
  std::span<const Index> face_of(const Mesh& mesh, std::size_t leaf) const {
    return mesh.face(static_cast<std::size_t>(in_.leaves[leaf].face_index));
  }

  // Faces of third rooms between the pair's two planes, projected into the
  // frame, that overlap the pair's region: the rooms behind them are nearer.
  // A face that faces f has its room beyond it, so it may lie on f's plane
  // but not on g's; a face that faces g the other way round.
  std::size_t collect_occluders(std::size_t j, const Vector3D& o, const Vector3D& n,
                                const PlaneFrame& axes, const Span& t, const Box2& region) {
    const BuildingSettings& set = in_.settings;
    Scratch& s = scratch();
    std::size_t count = 0;
    for (std::size_t leaf : s.hits) {
      const std::size_t k = mesh_of(leaf);
      if (k == i_ || k == j) continue;
      const std::optional<FacePlane>& plane = in_.planes[leaf];
      if (!plane) continue;
      const double c = dot(n, plane->normal);
      if (!(std::fabs(c) > in_.parallel)) continue;
      const Mesh& mesh = in_.meshes[k];
      const std::span<const Index> h = face_of(mesh, leaf);
      const Span th = distances(mesh, h, o, n);
      if (!(th.lo >= -set.distance && th.hi <= t.hi + set.distance)) continue;
      if (c < 0.0 ? !(th.mean < t.lo - set.distance) : !(th.mean > set.distance)) continue;
      Polygon& p = slot(s.occluders, count + 1);
      project_into(p, mesh, h, o, axes);
      Box2 box;
      box.add(p.outer);
      if (overlap_has_area(box, region)) ++count;
    }
    return count;
  }

  // Opening faces parallel to f inside the slab between f and g whose
  // projections cut the region; their aperture positions go to s.cut_by.
  std::size_t collect_openings(std::span<const Index> f, std::span<const Index> g,
                               const Mesh& other_mesh, const Vector3D& o, const Vector3D& n,
                               const PlaneFrame& axes, const Span& t, const Region& region,
                               double sliver) {
    Scratch& s = scratch();
    s.cut_by.clear();
    if (in_.aperture_faces.empty()) return 0;
    const BuildingSettings& set = in_.settings;
    Box3 box = padded_face_box(mesh_.vertices, f, set.distance);
    const Box3 other = padded_face_box(other_mesh.vertices, g, set.distance);
    for (int a = 0; a < 3; ++a) {
      box.lo[a] = std::fmin(box.lo[a], other.lo[a]);
      box.hi[a] = std::fmax(box.hi[a], other.hi[a]);
    }
    s.aperture_hits.clear();
    in_.aperture_index->query(box, 0, s.aperture_hits);
    const double low = std::fmin(0.0, t.lo) - set.distance;
    const double high = std::fmax(0.0, t.hi) + set.distance;
    const Box2 reach = bounds(region);
    std::size_t count = 0;
    for (std::size_t k : s.aperture_hits) {
      const ApertureFace& entry = in_.aperture_faces[k];
      if (!(std::fabs(dot(n, entry.normal)) > in_.parallel)) continue;
      const Mesh& mesh = in_.apertures[entry.mesh];
      const std::span<const Index> face = mesh.face(entry.face);
      const Span ta = distances(mesh, face, o, n);
      if (!(ta.lo >= low && ta.hi <= high)) continue;
      Polygon& p = slot(s.cutters, count + 1);
      project_into(p, mesh, face, o, axes);
      Box2 pb;
      pb.add(p.outer);
      if (!overlap_has_area(pb, reach)) continue;
      ++count;
      // Faces of one opening come in a row (the index reports them in
      // registry order): once one of them cuts the region, the opening is
      // listed and its other faces need no test of their own. A face that
      // misses the region stays among the cutters, where it removes nothing.
      if (!s.cut_by.empty() && s.cut_by.back() == entry.mesh) continue;
      if (region_area(intersect(region, p)) > sliver) s.cut_by.push_back(entry.mesh);
    }
    return count;
  }

  const Shared& in_;
  std::size_t i_;
  const Mesh& mesh_;
  std::vector<Contact>& contacts_;
  std::vector<std::uint64_t>& openings_;
};

// Sums contacts into one edge: areas add, centres and gaps weigh by area,
// openings unite; the type is that of the largest contact.
class EdgeBuilder {
 public:
  void add(const Contact& c, std::span<const std::uint64_t> openings) {
    if (c.area > largest_) {
      largest_ = c.area;
      type_ = c.type;
    }
    area_ += c.area;
    moment_ = moment_ + c.centroid * c.area;
    gap_moment_ += c.gap * c.area;
    opening_area_ += c.opening_area;
    opening_moment_ = opening_moment_ + c.opening_moment;
    openings_.insert(openings_.end(), openings.begin(), openings.end());
  }

  BuildingEdge finish(std::uint64_t a, std::uint64_t b) {
    BuildingEdge e;
    e.node_a = a;
    e.node_b = b;
    e.shared_area = area_;
    e.contact_centroid = moment_ * (1.0 / area_);
    e.contact_type = type_;
    e.gap = gap_moment_ / area_;
    std::sort(openings_.begin(), openings_.end());
    openings_.erase(std::unique(openings_.begin(), openings_.end()), openings_.end());
    e.openings = std::move(openings_);
    e.opening_area = opening_area_;
    if (opening_area_ > 0.0) e.opening_centroid = opening_moment_ * (1.0 / opening_area_);
    return e;
  }

 private:
  double largest_ = -1.0;
  ContactType type_ = ContactType::vertical_wall;
  double area_ = 0.0;
  Vector3D moment_;
  double gap_moment_ = 0.0;
  double opening_area_ = 0.0;
  Vector3D opening_moment_;
  std::vector<std::uint64_t> openings_;
};

std::vector<BuildingEdge> merge(std::size_t i, const std::vector<Contact>& contacts,
                                const std::vector<std::uint64_t>& openings,
                                const BuildingSettings& set, double parallel) {
  auto openings_of = [&](const Contact& c) {
    return std::span<const std::uint64_t>(openings).subspan(c.openings_first, c.openings_count);
  };
  std::vector<BuildingEdge> edges;
  if (set.merge == MergeMode::face) {
    edges.reserve(contacts.size());
    for (const Contact& c : contacts) {
      EdgeBuilder one;
      one.add(c, openings_of(c));
      edges.push_back(one.finish(i, c.other));
    }
    return edges;
  }
  std::vector<std::size_t> order(contacts.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return contacts[x].other < contacts[y].other;
  });
  std::size_t run = 0;
  while (run < order.size()) {
    std::size_t end = run;
    const std::uint64_t j = contacts[order[run]].other;
    while (end < order.size() && contacts[order[end]].other == j) ++end;
    // Planes of this room pair: a contact joins the first group whose
    // representative's plane it shares (parallel, same side, its plane point
    // within the distance of the representative's plane).
    std::vector<std::size_t> representative;
    std::vector<EdgeBuilder> groups;
    for (std::size_t q = run; q < end; ++q) {
      const Contact& c = contacts[order[q]];
      std::size_t group = groups.size();
      if (set.merge == MergeMode::room) {
        group = 0;
      } else {
        for (std::size_t r = 0; r < representative.size(); ++r) {
          const Contact& rep = contacts[representative[r]];
          if (dot(rep.normal, c.normal) > parallel &&
              std::fabs(dot(rep.normal, c.plane_point - rep.plane_point)) <= set.distance) {
            group = r;
            break;
          }
        }
      }
      if (group == groups.size()) {
        groups.emplace_back();
        representative.push_back(order[q]);
      }
      groups[group].add(c, openings_of(c));
    }
    for (EdgeBuilder& g : groups) {
      BuildingEdge e = g.finish(i, j);
      if (e.shared_area > set.min_area) edges.push_back(std::move(e));
    }
    run = end;
  }
  return edges;
}

}  // namespace

Result<BuildingGraph> compile_building(const Registry& registry, const BuildingSettings& settings,
                                       Interrupt* interrupt, Execution execution) {
  const std::span<const Mesh> meshes = registry.meshes;
  BuildingGraph graph;
  graph.centroids.reserve(meshes.size());
  for (const Mesh& mesh : meshes) graph.centroids.push_back(vertex_mean(mesh));
  if (!registry.wires.empty() && !meshes.empty()) {
    graph.wire_contacts =
        find_wire_contacts(registry.wires, meshes, WireSearch::prefiltered, execution, interrupt);
  }
  if (interrupted(interrupt)) return fail(ErrorKind::interrupted, "interrupted");
  if (meshes.size() < 2) return graph;

  const std::vector<std::size_t> offsets = leaf_offsets(meshes);
  const std::vector<SpatialFaceLeaf> leaves = build_leaves(meshes, settings.distance, execution);
  std::vector<std::optional<FacePlane>> planes = build_face_planes(meshes, execution);
  // Outward means outward: a room whose faces enclose a negative volume is
  // read with every normal reversed. Planes with a non-finite normal never
  // pass a test and are dropped from the search.
  for_each_index(
      meshes.size(),
      [&](std::size_t i) {
        const double flip = signed_volume(meshes[i]) < 0.0 ? -1.0 : 1.0;
        for (std::size_t f = offsets[i]; f < offsets[i + 1]; ++f) {
          std::optional<FacePlane>& p = planes[f];
          if (!p) continue;
          if (!is_finite(p->normal) || !is_finite(leaves[f].envelope)) {
            p.reset();
            continue;
          }
          p->normal = p->normal * flip;
          p->offset *= flip;
        }
      },
      execution);
  const FaceIndex faces(leaves, planes);

  std::vector<ApertureFace> aperture_faces;
  std::vector<SpatialFaceLeaf> aperture_leaves;
  for (std::size_t m = 0; m < registry.apertures.size(); ++m) {
    const Mesh& mesh = registry.apertures[m];
    for (std::size_t f = 0; f < mesh.face_count(); ++f) {
      const std::optional<FacePlane> plane = face_plane(mesh.vertices, mesh.face(f));
      if (!plane || !is_finite(plane->normal)) continue;
      const Box3 box = padded_face_box(mesh.vertices, mesh.face(f), settings.distance);
      if (!is_finite(box)) continue;
      aperture_leaves.push_back({box, aperture_faces.size(), 0});
      aperture_faces.push_back({m, f, plane->normal});
    }
  }
  const FaceIndex aperture_index(aperture_leaves);

  Shared shared;
  shared.meshes = meshes;
  shared.apertures = registry.apertures;
  shared.offsets = offsets;
  shared.leaves = leaves;
  shared.planes = planes;
  shared.faces = &faces;
  shared.aperture_faces = aperture_faces;
  shared.aperture_index = &aperture_index;
  shared.settings = settings;
  shared.parallel = std::cos(settings.angle_degrees * std::numbers::pi / 180.0);
  shared.interrupt = interrupt;

  // Tasks of at most faces_per_task faces of one room, rooms in spatial
  // order: one mesh of many faces (a terrain, a whole storey read as one
  // mesh) is spread over the workers, and no task runs long, so the calling
  // thread soon gets back to noticing a Ctrl-C.
  struct Task {
    std::size_t mesh, first, end;
  };
  struct TaskResult {
    std::vector<Contact> contacts;
    std::vector<std::uint64_t> openings;
  };
  const std::vector<std::size_t> order = spatial_order(graph.centroids);
  std::vector<Task> tasks;
  std::vector<std::size_t> first_task(meshes.size(), 0), task_count(meshes.size(), 0);
  for (std::size_t i : order) {
    first_task[i] = tasks.size();
    for (std::size_t f = 0; f < meshes[i].face_count(); f += faces_per_task) {
      tasks.push_back({i, f, std::min(meshes[i].face_count(), f + faces_per_task)});
    }
    task_count[i] = tasks.size() - first_task[i];
  }
  std::vector<TaskResult> results(tasks.size());
  const bool finished = for_each_index(
      tasks.size(),
      [&](std::size_t k) {
        const Task& task = tasks[k];
        RoomSearch(shared, task.mesh, results[k].contacts, results[k].openings)
            .run(task.first, task.end);
      },
      execution, interrupt);
  if (!finished || (interrupt != nullptr && interrupt->stopped())) {
    return fail(ErrorKind::interrupted, "interrupted");
  }

  std::vector<std::vector<BuildingEdge>> per_room(meshes.size());
  for_each_index(
      meshes.size(),
      [&](std::size_t i) {
        if (task_count[i] == 0) return;
        TaskResult& head = results[first_task[i]];
        for (std::size_t k = 1; k < task_count[i]; ++k) {
          TaskResult& part = results[first_task[i] + k];
          const std::size_t shift = head.openings.size();
          for (Contact& c : part.contacts) c.openings_first += shift;
          head.contacts.insert(head.contacts.end(), part.contacts.begin(), part.contacts.end());
          head.openings.insert(head.openings.end(), part.openings.begin(), part.openings.end());
          TaskResult().contacts.swap(part.contacts);
          std::vector<std::uint64_t>().swap(part.openings);
        }
        if (!head.contacts.empty()) {
          per_room[i] = merge(i, head.contacts, head.openings, settings, shared.parallel);
        }
        TaskResult().contacts.swap(head.contacts);
      },
      execution);
  if (interrupt != nullptr && interrupt->stopped()) {
    return fail(ErrorKind::interrupted, "interrupted");
  }
  std::size_t total = 0;
  for (const auto& list : per_room) total += list.size();
  graph.edges.reserve(total);
  for (auto& list : per_room) {
    for (BuildingEdge& e : list) graph.edges.push_back(std::move(e));
    std::vector<BuildingEdge>().swap(list);
  }
  return graph;
}

}  // namespace kovalith
