// The per-mesh face contact search of the graph build.
//
// For mesh i, every face f with a plane is paired with the faces g of meshes
// j > i whose padded boxes meet f's; a pair that passes the parallel and
// coplanarity tests (graph/coplanarity.h) is projected into f's plane frame
// (origin: f's first vertex), intersected, cut by every coplanar aperture face
// that can reach it, and reported when the remaining area exceeds the
// tolerance (strictly), with its area-weighted centre mapped back into 3D and
// "HorizontalSlabContact" when |n_f.z| > 0.707 (strictly), else
// "VerticalWallContact".
//
// Output order: by face f, then by (mesh, face) of the candidate. Reads only
// its inputs; safe to run for different meshes concurrently.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "graph/aperture_index.h"
#include "graph/face_index.h"
#include "graph/graph_records.h"
#include "kernel/plane.h"
#include "records/mesh.h"

namespace kovalith {

struct ContactInputs {
  std::span<const Mesh> meshes;
  std::span<const SpatialFaceLeaf> leaves;
  std::span<const std::size_t> leaf_offsets;  // first leaf of each mesh, then the total
  std::span<const std::optional<FacePlane>> planes;  // numbered like the leaves
  const FaceIndex* index = nullptr;  // null: every leaf is tested in turn
  std::span<const Mesh> aperture_meshes;
  const ApertureFaces* apertures = nullptr;
  bool literal_apertures = false;  // subtract even where the boxes are apart
  double tolerance = 0.0;
};

std::vector<RawEdge> find_contacts(std::size_t mesh_index, const ContactInputs& inputs);

}  // namespace kovalith
