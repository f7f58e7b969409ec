// The building compiler's driver: the face, opening and element indexes, the
// tasks of the worker pool, and the edges collected in room order.
#include "graph/building_contacts.h"

#include <cmath>
#include <memory>
#include <numbers>

#include "graph/building_search.h"
#include "graph/spatial_order.h"
#include "graph/wire_contacts.h"
#include "kernel/vertex_mean.h"

namespace kovalith {
namespace {

// Faces searched by one task of the worker pool.
constexpr std::size_t faces_per_task = 256;

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

}  // namespace

// The faces of opening or element meshes that have a plane and a finite box,
// with the index over their padded boxes. Leaves are numbered in mesh order,
// so a query reports the faces of one mesh in a row. Runs on the calling
// thread and polls `interrupt` per mesh (10^5 openings take a second): once
// stopped, the index is left partial and the caller must not search it.
static SideIndex side_index(std::span<const Mesh> meshes, double distance, Interrupt* interrupt) {
  std::vector<MeshFace> faces;
  std::vector<SpatialFaceLeaf> leaves;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    if (interrupted(interrupt)) break;
    const Mesh& mesh = meshes[m];
    for (std::size_t f = 0; f < mesh.face_count(); ++f) {
      const std::optional<FacePlane> plane = face_plane(mesh.vertices, mesh.face(f));
      if (!plane || !is_finite(plane->normal)) continue;
      const Box3 box = padded_face_box(mesh.vertices, mesh.face(f), distance);
      if (!is_finite(box)) continue;
      leaves.push_back({box, faces.size(), 0});
      faces.push_back({m, f, plane->normal});
    }
  }
  FaceIndex index(leaves);
  return {std::move(faces), std::move(index)};
}

std::unique_ptr<PreparedBuilding> prepare_building(const Registry& registry,
                                                   const BuildingSettings& settings,
                                                   const BuildingExtras& extras, Interrupt* interrupt,
                                                   Execution execution) {
  std::span<const Mesh> meshes = registry.meshes;
  auto out = std::make_unique<PreparedBuilding>();
  const double parallel = std::cos(settings.angle_degrees * std::numbers::pi / 180.0);
  std::vector<std::uint8_t> reversed(meshes.size(), 0);
  auto outward_planes = [&](bool flip_inward) {
    out->offsets = leaf_offsets(meshes);
    out->leaves = build_leaves(meshes, settings.distance, execution);
    out->planes = build_face_planes(meshes, execution);
    std::vector<std::optional<FacePlane>>& planes = out->planes;
    const std::vector<std::size_t>& offsets = out->offsets;
    const std::vector<SpatialFaceLeaf>& leaves = out->leaves;
    // Outward means outward: a room whose faces enclose a negative volume is
    // read with every normal reversed. Planes with a non-finite normal never
    // pass a test and are dropped from the search.
    for_each_index(
        meshes.size(),
        [&](std::size_t i) {
          const bool flip = flip_inward && signed_volume(meshes[i]) < 0.0;
          reversed[i] = flip ? 1 : 0;
          for (std::size_t f = offsets[i]; f < offsets[i + 1]; ++f) {
            std::optional<FacePlane>& p = planes[f];
            if (!p) continue;
            if (!is_finite(p->normal) || !is_finite(leaves[f].envelope)) {
              p.reset();
              continue;
            }
            if (flip) {
              p->normal = p->normal * -1.0;
              p->offset = -p->offset;
            }
          }
        },
        execution);
  };
  outward_planes(true);
  if (settings.merge != MergeMode::face) {
    // The merged rooms are wound outward already.
    out->sheets.resize(meshes.size());
    for_each_index(
        meshes.size(),
        [&](std::size_t i) {
          const std::size_t first = out->offsets[i], count = out->offsets[i + 1] - first;
          out->sheets[i] = sheet_mesh(meshes[i], std::span(out->planes).subspan(first, count),
                                      reversed[i] != 0, settings.distance, parallel);
        },
        execution);
    meshes = out->sheets;
    outward_planes(false);
  }
  const std::vector<std::optional<FacePlane>>& planes = out->planes;
  const std::vector<SpatialFaceLeaf>& leaves = out->leaves;
  out->faces.emplace(leaves, planes);
  // Each room's box and the widest face box bound how far in front of a
  // face the faces not fetched yet may lie (see the candidate search).
  std::array<double, 3> widest{};
  out->room_boxes.assign(meshes.size(), Box3{{INFINITY, INFINITY, INFINITY},
                                             {-INFINITY, -INFINITY, -INFINITY}});
  for (std::size_t i = 0; i < meshes.size(); ++i) {
    Box3& room = out->room_boxes[i];
    for (std::size_t f = out->offsets[i]; f < out->offsets[i + 1]; ++f) {
      if (!planes[f]) continue;
      const Box3& box = leaves[f].envelope;
      for (int a = 0; a < 3; ++a) {
        room.lo[a] = std::fmin(room.lo[a], box.lo[a]);
        room.hi[a] = std::fmax(room.hi[a], box.hi[a]);
        widest[a] = std::fmax(widest[a], box.hi[a] - box.lo[a]);
      }
    }
  }
  out->apertures = side_index(registry.apertures, settings.distance, interrupt);
  out->elements = side_index(extras.elements, settings.distance, interrupt);

  BuildingInputs& in = out->inputs;
  in.meshes = meshes;
  in.offsets = out->offsets;
  in.leaves = out->leaves;
  in.planes = out->planes;
  in.faces = &*out->faces;
  in.room_boxes = out->room_boxes;
  in.widest = widest;
  in.apertures = registry.apertures;
  in.orientations = extras.opening_orientations;
  in.aperture_faces = out->apertures.faces;
  in.aperture_index = &out->apertures.index;
  in.elements = extras.elements;
  in.element_kinds = extras.element_kinds;
  in.element_faces = out->elements.faces;
  in.element_index = &out->elements.index;
  in.search_elements = extras.search_elements;
  in.keep_regions = extras.keep_regions;
  in.gross_regions = extras.gross_regions;
  in.settings = settings;
  in.parallel = parallel;
  in.interrupt = interrupt;
  return out;
}

Result<BuildingGraph> compile_building(const Registry& registry, const BuildingSettings& settings,
                                       const BuildingExtras& extras, Interrupt* interrupt,
                                       Execution execution) {
  return compile_building(registry, settings, extras, interrupt, execution, nullptr);
}

Result<BuildingGraph> compile_building(const Registry& registry, const BuildingSettings& settings,
                                       const BuildingExtras& extras, Interrupt* interrupt,
                                       Execution execution, std::unique_ptr<PreparedBuilding>* keep) {
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

  std::unique_ptr<PreparedBuilding> prepared =
      prepare_building(registry, settings, extras, interrupt, execution);
  if (interrupted(interrupt)) return fail(ErrorKind::interrupted, "interrupted");
  const BuildingInputs& in = prepared->inputs;

  // Tasks of at most faces_per_task faces of one room, rooms in spatial
  // order: one mesh of many faces (a terrain, a whole storey read as one
  // mesh) is spread over the workers, and no task runs long, so the calling
  // thread soon gets back to noticing a Ctrl-C.
  struct Task {
    std::size_t mesh, first, end;
  };
  const std::vector<std::size_t> order = spatial_order(graph.centroids);
  std::vector<Task> tasks;
  std::vector<std::size_t> first_task(meshes.size(), 0), task_count(meshes.size(), 0);
  for (std::size_t i : order) {
    first_task[i] = tasks.size();
    for (std::size_t f = 0; f < in.meshes[i].face_count(); f += faces_per_task) {
      tasks.push_back({i, f, std::min(in.meshes[i].face_count(), f + faces_per_task)});
    }
    task_count[i] = tasks.size() - first_task[i];
  }
  std::vector<ContactLists> results(tasks.size());
  const bool finished = for_each_index(
      tasks.size(),
      [&](std::size_t k) {
        const Task& task = tasks[k];
        search_room_faces(in, task.mesh, task.first, task.end, results[k]);
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
        ContactLists& head = results[first_task[i]];
        for (std::size_t k = 1; k < task_count[i]; ++k) {
          head.append(std::move(results[first_task[i] + k]));
        }
        if (!head.contacts.empty()) per_room[i] = merge_contacts(i, head, in);
        head = ContactLists();
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
  if (keep != nullptr) *keep = std::move(prepared);
  return graph;
}

}  // namespace kovalith
