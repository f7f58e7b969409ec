#include "graph/contact_solver.h"

#include <algorithm>
#include <cmath>

#include "graph/coplanarity.h"
#include "graph/graph_records.h"
#include "kernel/box2.h"
#include "kernel/polygon.h"
#include "support/thread_scratch.h"

namespace kovalith {
namespace {

struct Cutter {
  Polygon polygon;
  Box2 box;
};

// Everything about face f that every candidate pair shares, computed at most
// once per face and only when a candidate gets that far.
class FaceContext {
 public:
  FaceContext(const ContactInputs& in, const Mesh& mesh, std::size_t face, const FacePlane& plane)
      : in_(in), mesh_(mesh), face_(face), plane_(plane) {}

  const Vector3D& origin() { return frame().origin; }
  const PlaneFrame& axes() { return frame().axes; }

  const Polygon& projection() {
    if (!projection_) {
      const Frame& fr = frame();
      projection_ = GeometryKernel::project_and_build_polygon(mesh_.vertices, mesh_.face(face_),
                                                              fr.origin, fr.axes.u, fr.axes.v);
      projection_box_ = bounds(*projection_);
    }
    return *projection_;
  }
  const Box2& projection_box() {
    projection();
    return projection_box_;
  }

  const std::vector<Cutter>& cutters() {
    if (!cutters_) {
      cutters_.emplace();
      if (in_.apertures != nullptr && !in_.apertures->empty()) {
        const std::span<const Index> face = mesh_.face(face_);
        const Box3 box = padded_face_box(mesh_.vertices, face, 0.0);
        std::vector<std::size_t> chosen;
        in_.apertures->select(plane_, box, face_thickness(mesh_.vertices, face, plane_), chosen);
        const Frame& fr = frame();
        for (std::size_t k : chosen) {
          const ApertureFace& entry = (*in_.apertures)[k];
          const Mesh& aperture = in_.aperture_meshes[entry.mesh];
          Polygon polygon = GeometryKernel::project_and_build_polygon(
              aperture.vertices, aperture.face(entry.face), fr.origin, fr.axes.u, fr.axes.v);
          Box2 b = bounds(polygon);
          cutters_->push_back({std::move(polygon), b});
        }
      }
    }
    return *cutters_;
  }

 private:
  struct Frame {
    Vector3D origin;
    PlaneFrame axes;
  };
  const Frame& frame() {
    if (!frame_) frame_ = Frame{mesh_.vertices[mesh_.face(face_)[0]], plane_frame(plane_.normal)};
    return *frame_;
  }

  const ContactInputs& in_;
  const Mesh& mesh_;
  std::size_t face_;
  FacePlane plane_;
  std::optional<Frame> frame_;
  std::optional<Polygon> projection_;
  Box2 projection_box_;
  std::optional<std::vector<Cutter>> cutters_;
};

// Query buffers of one thread, reused across faces and meshes.
struct SearchBuffers {
  std::vector<LeafHit> nearby;
  std::vector<std::size_t> candidates;
  std::vector<const Polygon*> clips;
};

}  // namespace

std::vector<RawEdge> find_contacts(std::size_t i, const ContactInputs& in) {
  std::vector<RawEdge> edges;
  const Mesh& mesh = in.meshes[i];
  const std::size_t first = in.leaf_offsets[i];
  const std::size_t later = in.leaf_offsets[i + 1];  // leaves of meshes j > i start here

  // One index query per face: a per-mesh query with the union of its faces'
  // boxes would, for one mesh spread over the site (a terrain, a slab of many
  // faces), report every leaf of the site to every face of it.
  SearchBuffers& buffers = thread_scratch<SearchBuffers>();
  std::vector<LeafHit>& nearby = buffers.nearby;
  std::vector<std::size_t>& candidates = buffers.candidates;
  std::vector<const Polygon*>& clips = buffers.clips;

  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const std::optional<FacePlane>& plane = in.planes[first + f];
    if (!plane) continue;
    // The query box follows the leaf rule, so it is the face's own envelope.
    const Box3& query = in.leaves[first + f].envelope;
    candidates.clear();
    if (in.index != nullptr) {
      in.index->query(query, later, candidates);
    } else {
      nearby.clear();
      scan_leaves(in.leaves, query, later, nearby);
      for (const LeafHit& hit : nearby) candidates.push_back(hit.leaf);
    }
    if (candidates.empty()) continue;

    FaceContext context(in, mesh, f, *plane);
    for (std::size_t leaf : candidates) {
      const std::optional<FacePlane>& other = in.planes[leaf];
      if (!other || !coplanar_within(*plane, *other, in.tolerance)) continue;

      const SpatialFaceLeaf& candidate = in.leaves[leaf];
      const Mesh& other_mesh = in.meshes[candidate.mesh_index];
      const Polygon& a = context.projection();
      const Polygon b = GeometryKernel::project_and_build_polygon(
          other_mesh.vertices, other_mesh.face(candidate.face_index), context.origin(),
          context.axes().u, context.axes().v);
      if (!overlap_has_area(context.projection_box(), bounds(b))) continue;

      const Region region = intersect(a, b);
      if (region.empty()) continue;
      // The coplanar apertures are removed as one union: the order of
      // subtraction does not change the region, and one pass stays near
      // linear in their number where a chain of differences would not.
      clips.clear();
      const Box2 reach = bounds(region);
      for (const Cutter& cutter : context.cutters()) {
        if (in.literal_apertures || overlap_has_area(reach, cutter.box)) {
          clips.push_back(&cutter.polygon);
        }
      }
      const RegionMeasure net = measure_difference(region, clips);

      const double area = net.area();
      if (!(area > in.tolerance)) continue;
      const std::optional<Point2> centre = net.centroid();
      if (!centre) continue;  // only for a zero total area, excluded above

      const Vector3D& o = context.origin();
      const PlaneFrame& axes = context.axes();
      const Vector3D centroid = o + axes.u * centre->x + axes.v * centre->y;
      const ContactType type = contact_type_of(plane->normal);
      edges.push_back({i, candidate.mesh_index, area, centroid, type});
    }
  }
  return edges;
}

}  // namespace kovalith
