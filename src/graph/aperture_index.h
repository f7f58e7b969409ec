// The aperture faces of one graph build and the choice of those that a mesh
// face's contacts must be cut by.
//
// A contact region lies inside the projection of its face f onto f's plane.
// An aperture face coplanar with f within the tolerance can only cut it where
// its own projection overlaps f's. In 3D such an aperture face has a point
// p = x + t*n_f, with x in the hull of f's projected corners and
// |t| <= max over its corners of |n_f.p + d_f|
//    <= |n_f - s*n_a| * |p|max + h_a + |d_f - s*d_a|
// (h_a: the aperture face's own distance of corners from its plane). Each
// aperture face's box is padded by h_a; the query box of f is f's vertex box
// padded along |n_f| per axis by h_f + tolerance + tilt * |p|max, where tilt
// bounds |n_f - s*n_a| over the aperture normals that pass the parallel test
// (tracked per cluster of nearly equal normals, or the bound sqrt(2*tolerance)
// when the normals are too varied), plus a small slack for rounding. Every
// aperture face that can change the region is therefore selected; the others
// would remove nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "graph/face_index.h"
#include "kernel/plane.h"
#include "records/mesh.h"

namespace kovalith {

enum class ApertureSearch {
  // R*-tree of the aperture faces' padded boxes, queried per mesh face.
  indexed,
  // Every aperture face, with the same box rule as the index: the reference
  // the index must match exactly.
  scan,
  // Every coplanar aperture face, no box rule at all.
  every_coplanar,
};

struct ApertureFace {
  std::size_t mesh = 0;
  std::size_t face = 0;
  FacePlane plane;
  Box3 envelope;     // vertex box padded by the face's own thickness
  bool finite = true;  // false: selected whenever coplanar, whatever the box
};

class ApertureFaces {
 public:
  ApertureFaces(std::span<const Mesh> apertures, double tolerance, ApertureSearch search);
  ~ApertureFaces();

  bool empty() const noexcept { return faces_.empty(); }
  const ApertureFace& operator[](std::size_t k) const noexcept { return faces_[k]; }

  // Appends, in registry order (aperture mesh, then face), the faces that are
  // coplanar with `plane` within the tolerance and may overlap the mesh face
  // whose vertex box is `face_box` and whose corners lie within
  // `face_thickness` of `plane`.
  void select(const FacePlane& plane, const Box3& face_box, double face_thickness,
              std::vector<std::size_t>& out) const;

 private:
  struct Cluster {
    Vector3D normal;  // the first member's normal
    double radius = 0.0;
  };
  Box3 reach(const FacePlane& plane, const Box3& face_box, double face_thickness) const;
  double tilt_bound(const Vector3D& normal) const;

  double tolerance_;
  ApertureSearch search_;
  std::vector<ApertureFace> faces_;
  std::vector<Cluster> clusters_;
  bool clusters_overflowed_ = false;
  double max_radius_ = 0.0;  // largest |p| over the corners of finite faces
  std::unique_ptr<FaceIndex> index_;
  std::vector<std::size_t> leaf_faces_;  // aperture face of each index leaf
  std::vector<std::size_t> always_;      // non-finite faces
};

// Largest distance of the face's corners from the plane.
double face_thickness(const std::vector<Vector3D>& vertices, std::span<const Index> face,
                      const FacePlane& plane) noexcept;

}  // namespace kovalith
