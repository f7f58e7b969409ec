// The graph build driver: nodes, wire contacts and face contacts of a
// registry, as native records (the module layer wraps them into Python
// objects on the calling thread).
//
// Nothing is kept between calls: the leaves, the indexes and the face plane
// table live for one call. The per-mesh contact searches run on the worker
// pool and are collected in mesh order, so the result does not depend on the
// number of workers or the order in which they finish.
#pragma once

#include <vector>

#include "graph/aperture_index.h"
#include "graph/graph_records.h"
#include "graph/parallel.h"
#include "graph/registry.h"
#include "graph/wire_contacts.h"
#include "records/error.h"
#include "support/interrupt.h"

namespace kovalith {

enum class FaceSearch {
  indexed,  // the R*-tree of face leaves
  scan,     // every leaf tested in turn (the reference for the index)
};

// The reference paths exist for tests, which compare them with the defaults.
struct BuildOptions {
  FaceSearch faces = FaceSearch::indexed;
  ApertureSearch apertures = ApertureSearch::indexed;
  WireSearch wires = WireSearch::prefiltered;
  Execution execution = Execution::pool;
};

struct GraphBuild {
  std::vector<Vector3D> centroids;  // vertex mean of each mesh, in mesh order
  std::vector<WireContact> wire_contacts;
  std::vector<RawEdge> edges;  // by node_a, then by face of node_a, then candidate
};

GraphBuild build_graph(const Registry& registry, double tolerance,
                       const BuildOptions& options = {});

// The same, stopped early (ErrorKind::interrupted, nothing built) once the
// interrupt says so; it is polled between the stages and between meshes.
Result<GraphBuild> build_graph(const Registry& registry, double tolerance,
                               const BuildOptions& options, Interrupt* interrupt);

}  // namespace kovalith
