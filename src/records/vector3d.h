// The one point and vector type: three doubles, z vertical.
//
// No invariants: NaN and the infinities are stored as given. The helpers are
// plain IEEE arithmetic in the written evaluation order, so results are
// reproducible wherever a caller depends on the exact rounding.
#pragma once

#include <cmath>

namespace kovalith {

struct Vector3D {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;

  friend constexpr bool operator==(const Vector3D&, const Vector3D&) = default;
};

constexpr Vector3D operator+(const Vector3D& a, const Vector3D& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
constexpr Vector3D operator-(const Vector3D& a, const Vector3D& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
constexpr Vector3D operator*(const Vector3D& a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}
// (a.x*b.x + a.y*b.y) + a.z*b.z, left to right.
constexpr double dot(const Vector3D& a, const Vector3D& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
constexpr Vector3D cross(const Vector3D& a, const Vector3D& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double length(const Vector3D& a) { return std::sqrt(dot(a, a)); }

}  // namespace kovalith
