#include "query/shortest_path.h"

#include "query/route_search.h"

namespace kovalith {

Result<void> check_route_ends(std::size_t node_count, std::uint64_t start, std::uint64_t end) {
  if (start >= node_count || end >= node_count) {
    return fail(ErrorKind::value, "Start or End node index out of bounds.");
  }
  return {};
}

Result<std::vector<std::uint64_t>> find_shortest_path(const RouteIndex& index,
                                                      std::uint64_t start, std::uint64_t end,
                                                      Interrupt* interrupt) {
  if (auto ends = check_route_ends(index.node_count(), start, end); !ends) {
    return std::unexpected(ends.error());
  }
  const RouteId source = static_cast<RouteId>(start);
  RouteRequest request;
  request.entries = index.entries;
  request.sources = std::span<const RouteId>(&source, 1);
  request.target = static_cast<RouteId>(end);
  auto tree = search_routes(index, request, interrupt);
  if (!tree) return std::unexpected(tree.error());
  return route_to(index, *tree, request.target).rooms;
}

}  // namespace kovalith
