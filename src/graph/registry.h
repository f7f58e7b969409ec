// The workspace a graph is compiled from: deep copies of the caller's cells,
// linear elements and openings. No invariants beyond those of the records.
#pragma once

#include <vector>

#include "records/mesh.h"
#include "records/wire.h"

namespace kovalith {

struct Registry {
  std::vector<Mesh> meshes;
  std::vector<Wire> wires;
  std::vector<Mesh> apertures;
};

}  // namespace kovalith
