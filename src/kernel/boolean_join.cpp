#include "kernel/boolean_join.h"

#include <cmath>
#include <optional>
#include <string>

#include "kernel/extrusion.h"
#include "kernel/polygon.h"

namespace kovalith {
namespace {

Error no_faces(const char* operand) {
  return Error{ErrorKind::value, std::string("the ") + operand + " operand has no faces"};
}

std::optional<Polygon> plan(const Mesh& mesh) {
  if (mesh.face_count() == 0) return std::nullopt;
  return GeometryKernel::project_and_build_polygon(mesh.vertices, mesh.face(0), {}, {1.0, 0.0, 0.0},
                                                   {0.0, 1.0, 0.0});
}

Error stopped() { return Error{ErrorKind::interrupted, "boolean join interrupted"}; }

// False once the interrupt says so.
bool extrude_cells(const Region& region, double z_base, double height, std::vector<Mesh>& out,
                   Interrupt* interrupt) {
  for (const Polygon& polygon : region) {
    if (interrupted(interrupt)) return false;
    // Written so that a NaN area counts as too small.
    if (!(std::fabs(polygon_area(polygon)) > min_cell_area)) continue;
    out.push_back(extrude_polygon_to_mesh(polygon.outer, z_base, height));
  }
  return true;
}

}  // namespace

Result<std::vector<Mesh>> boolean_join_extruded(const Mesh& mesh_a, const Mesh& mesh_b,
                                                double z_base, double height,
                                                Interrupt* interrupt) {
  const std::optional<Polygon> a = plan(mesh_a);
  if (!a) return std::unexpected(no_faces("first"));
  const std::optional<Polygon> b = plan(mesh_b);
  if (!b) return std::unexpected(no_faces("second"));
  // The polygon operations themselves cannot be stopped midway; the
  // interrupt is polled between them and between the cells.
  std::vector<Mesh> cells;
  if (interrupted(interrupt) ||
      !extrude_cells(intersect(*a, *b), z_base, height, cells, interrupt) ||
      interrupted(interrupt) ||
      !extrude_cells(subtract(*a, *b), z_base, height, cells, interrupt) ||
      interrupted(interrupt) ||
      !extrude_cells(subtract(*b, *a), z_base, height, cells, interrupt)) {
    return std::unexpected(stopped());
  }
  return cells;
}

}  // namespace kovalith
