#include "graph/graph_build.h"

#include <cmath>
#include <iterator>

#include "graph/contact_solver.h"
#include "graph/face_index.h"
#include "kernel/vertex_mean.h"

namespace kovalith {
namespace {

std::vector<RawEdge> find_all_contacts(const Registry& registry, double tolerance,
                                       const BuildOptions& options) {
  const std::span<const Mesh> meshes = registry.meshes;
  const std::vector<std::size_t> offsets = leaf_offsets(meshes);

  const std::vector<SpatialFaceLeaf> leaves = build_leaves(meshes, tolerance, options.execution);
  const std::vector<std::optional<FacePlane>> planes =
      build_face_planes(meshes, options.execution);

  std::optional<FaceIndex> index;
  if (options.faces == FaceSearch::indexed) index.emplace(leaves);
  const ApertureFaces apertures(registry.apertures, tolerance, options.apertures);

  ContactInputs inputs;
  inputs.meshes = meshes;
  inputs.leaves = leaves;
  inputs.leaf_offsets = offsets;
  inputs.planes = planes;
  inputs.index = index ? &*index : nullptr;
  inputs.aperture_meshes = registry.apertures;
  inputs.apertures = &apertures;
  inputs.literal_apertures = options.apertures == ApertureSearch::every_coplanar;
  inputs.tolerance = tolerance;

  std::vector<std::vector<RawEdge>> per_mesh(meshes.size());
  for_each_index(
      meshes.size(), [&](std::size_t i) { per_mesh[i] = find_contacts(i, inputs); },
      options.execution);

  std::size_t total = 0;
  for (const auto& list : per_mesh) total += list.size();
  std::vector<RawEdge> edges;
  edges.reserve(total);
  for (auto& list : per_mesh) {
    edges.insert(edges.end(), list.begin(), list.end());
    std::vector<RawEdge>().swap(list);
  }
  return edges;
}

}  // namespace

GraphBuild build_graph(const Registry& registry, double tolerance, const BuildOptions& options) {
  GraphBuild build;
  build.centroids.reserve(registry.meshes.size());
  for (const Mesh& mesh : registry.meshes) build.centroids.push_back(vertex_mean(mesh));

  if (!registry.wires.empty() && !registry.meshes.empty()) {
    build.wire_contacts =
        find_wire_contacts(registry.wires, registry.meshes, options.wires, options.execution);
  }

  // A pair is coplanar only when a distance is strictly below the tolerance,
  // and a contact only when an area is strictly above it: a tolerance that is
  // not positive (or NaN) admits no pair, an infinite one no area.
  const bool contacts_possible = tolerance > 0.0 && std::isfinite(tolerance);
  if (registry.meshes.size() >= 2 && contacts_possible) {
    build.edges = find_all_contacts(registry, tolerance, options);
  }
  return build;
}

}  // namespace kovalith
