#include "graph/graph_build.h"

#include <cmath>
#include <optional>

#include "graph/contact_solver.h"
#include "graph/face_index.h"
#include "graph/spatial_order.h"
#include "kernel/vertex_mean.h"

namespace kovalith {
namespace {

std::vector<RawEdge> collect_in_mesh_order(std::vector<std::vector<RawEdge>>& per_mesh) {
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

Error stopped() { return Error{ErrorKind::interrupted, "graph build interrupted"}; }

}  // namespace

GraphBuild build_graph(const Registry& registry, double tolerance, const BuildOptions& options) {
  return *build_graph(registry, tolerance, options, nullptr);
}

Result<GraphBuild> build_graph(const Registry& registry, double tolerance,
                               const BuildOptions& options, Interrupt* interrupt) {
  const std::span<const Mesh> meshes = registry.meshes;
  GraphBuild build;
  build.centroids.reserve(meshes.size());
  for (const Mesh& mesh : meshes) build.centroids.push_back(vertex_mean(mesh));

  const bool wires_needed = !registry.wires.empty() && !meshes.empty();
  auto find_wires = [&] {
    if (wires_needed) {
      build.wire_contacts =
          find_wire_contacts(registry.wires, meshes, options.wires, options.execution, interrupt);
    }
  };

  // A pair is coplanar only when a distance is strictly below the tolerance,
  // and a contact only when an area is strictly above it: a tolerance that is
  // not positive (or NaN) admits no pair, an infinite one no area.
  const bool contacts_possible = tolerance > 0.0 && std::isfinite(tolerance);
  if (meshes.size() < 2 || !contacts_possible) {
    find_wires();
    if (interrupted(interrupt)) return std::unexpected(stopped());
    return build;
  }

  if (interrupted(interrupt)) return std::unexpected(stopped());
  const std::vector<std::size_t> offsets = leaf_offsets(meshes);
  const std::vector<SpatialFaceLeaf> leaves = build_leaves(meshes, tolerance, options.execution);
  const std::vector<std::optional<FacePlane>> planes =
      build_face_planes(meshes, options.execution);

  // Bulk loading the trees is serial work; the wire test overlaps it.
  if (interrupted(interrupt)) return std::unexpected(stopped());
  std::optional<FaceIndex> index;
  std::optional<ApertureFaces> apertures;
  run_together({[&] {
                  if (options.faces == FaceSearch::indexed) index.emplace(leaves, planes);
                },
                [&] { apertures.emplace(registry.apertures, tolerance, options.apertures); },
                find_wires},
               options.execution, interrupt);
  if (interrupted(interrupt)) return std::unexpected(stopped());

  ContactInputs inputs;
  inputs.meshes = meshes;
  inputs.leaves = leaves;
  inputs.leaf_offsets = offsets;
  inputs.planes = planes;
  inputs.index = index ? &*index : nullptr;
  inputs.aperture_meshes = registry.apertures;
  inputs.apertures = &*apertures;
  inputs.literal_apertures = options.apertures == ApertureSearch::every_coplanar;
  inputs.tolerance = tolerance;

  const std::vector<std::size_t> order = spatial_order(build.centroids);
  std::vector<std::vector<RawEdge>> per_mesh(meshes.size());
  if (!for_each_index(
          meshes.size(),
          [&](std::size_t k) {
            const std::size_t i = order[k];
            per_mesh[i] = find_contacts(i, inputs);
          },
          options.execution, interrupt)) {
    return std::unexpected(stopped());
  }
  build.edges = collect_in_mesh_order(per_mesh);
  return build;
}

}  // namespace kovalith
