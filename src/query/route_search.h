// Shortest routes over a RouteIndex: one target, all rooms, or the nearest
// of several sources.
//
// The search settles, at each step, the unsettled room with the smallest
// known distance, the lowest position winning among equal distances, and
// changes a neighbour's distance only when the new one is strictly smaller
// (an equal alternative keeps the earlier predecessor, and among parallel
// entries of one room the first in list order wins). Distances start at the
// largest finite double, which means "unreached": a non-finite cost (an
// infinite or NaN centroid, or an entry that the caller shuts with NaN) never
// passes the strict test and so is never used. Several sources all start at
// distance 0, as if joined to one virtual start by free edges in position
// order.
//
// Costs must be non-negative or NaN (every cost this system makes is a sum of
// square roots), so a settled room can never be improved again; that is what
// lets a binary heap keyed on (distance, position) with lazy deletion settle
// exactly the room a full scan in position order would pick.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "query/route_index.h"
#include "records/error.h"
#include "support/interrupt.h"

namespace kovalith {

inline constexpr double unreached_distance = std::numeric_limits<double>::max();

struct RouteRequest {
  // index.entries, or a copy with other costs (same nodes and edges).
  std::span<const RouteEntry> entries;
  std::span<const RouteId> sources;  // each below the node count
  RouteId target = no_route_id;      // stop once it is settled; no_route_id: reach every room
  // Rooms whose distance would exceed the limit are left unreached; a room at
  // exactly the limit is reached. Must be >= 0 (or +inf for none).
  double limit = std::numeric_limits<double>::infinity();
  bool track_origin = false;  // fill `origin` (the source each room is reached from)
};

// What the search knows of one room: its distance (unreached_distance when
// not reached), the room it is reached from and the entry of that room's
// list it is reached by (no_route_id for sources and unreached rooms). One
// 16-byte record: a relaxation reads the distance and writes all three, so
// they share a cache line.
struct RoomState {
  double distance;
  RouteId predecessor;
  RouteId entry;
};

struct RouteTree {
  std::vector<RoomState> room;
  std::vector<RouteId> origin;  // filled only when asked for
};

// Errors: ErrorKind::interrupted when the interrupt asks to stop (polled
// every few thousand settled rooms).
Result<RouteTree> search_routes(const RouteIndex& index, const RouteRequest& request,
                                Interrupt* interrupt);

struct RoomRoute {
  std::vector<std::uint64_t> rooms;  // travel order; empty when unreached
  std::vector<std::uint64_t> edges;  // edge positions crossed, one fewer than rooms
  double length = std::numeric_limits<double>::infinity();  // +inf when unreached
};

// The route to `end` recorded in `tree`.
RoomRoute route_to(const RouteIndex& index, const RouteTree& tree, RouteId end);

}  // namespace kovalith
