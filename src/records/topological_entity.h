// A node of a caller-defined topological hierarchy. No invariants: numbers
// need not be unique and the parent is never resolved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kovalith {

struct TopologicalEntity {
  std::uint64_t id = 0;
  std::string entity_type;
  std::optional<std::uint64_t> parent_id;
};

}  // namespace kovalith
