// Axis-aligned boxes of 2D shapes in a plane frame, and the one overlap test
// every polygon step uses before it calls the clipper.
//
// A NaN coordinate is left out of a box (fmin/fmax return the other
// operand); a polygon holding one meets the clipper as an empty region
// anyway, so its box may be too small without changing any result.
#pragma once

#include <cmath>

#include "kernel/polygon.h"

namespace kovalith {

struct Box2 {
  double lo[2] = {INFINITY, INFINITY};  // by axis: x, y
  double hi[2] = {-INFINITY, -INFINITY};

  void add(const Point2& p) noexcept {
    lo[0] = std::fmin(lo[0], p.x);
    hi[0] = std::fmax(hi[0], p.x);
    lo[1] = std::fmin(lo[1], p.y);
    hi[1] = std::fmax(hi[1], p.y);
  }
  void add(const Ring& ring) noexcept {
    for (const Point2& p : ring) add(p);
  }
  // Holes lie inside the outer ring, so the outer ring alone bounds a polygon.
  void add(const Polygon& polygon) noexcept { add(polygon.outer); }
  void add(const Region& region) noexcept {
    for (const Polygon& p : region) add(p.outer);
  }
  void add(const Box2& box) noexcept {
    for (int k = 0; k < 2; ++k) {
      lo[k] = std::fmin(lo[k], box.lo[k]);
      hi[k] = std::fmax(hi[k], box.hi[k]);
    }
  }
};

template <class Shape>
Box2 bounds(const Shape& shape) noexcept {
  Box2 box;
  box.add(shape);
  return box;
}

// Whether two boxes overlap with positive width in both axes. When they do
// not, the shapes inside them share no area, and the clipper's grid snapping,
// being monotone, cannot make them share any either.
inline bool overlap_has_area(const Box2& a, const Box2& b) noexcept {
  for (int k = 0; k < 2; ++k) {
    if (!(std::fmin(a.hi[k], b.hi[k]) > std::fmax(a.lo[k], b.lo[k]))) return false;
  }
  return true;
}

// The box as a closed counter-clockwise ring.
inline Polygon rectangle(const Box2& box) {
  Polygon p;
  p.outer = {{box.lo[0], box.lo[1]}, {box.hi[0], box.lo[1]}, {box.hi[0], box.hi[1]},
             {box.lo[0], box.hi[1]}, {box.lo[0], box.lo[1]}};
  return p;
}

}  // namespace kovalith
