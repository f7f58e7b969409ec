// Test driver for the planar kernel, which Python cannot reach by itself.
//
// Reads one request per line from stdin and answers one line on stdout, so
// the pytest suite (tests/kernel_probe.py) can drive face planes, frames,
// projection and the polygon booleans with exact inputs and outputs. Doubles
// travel as C99 hex floats (Python's float.hex / float.fromhex), so nothing
// is lost either way. Request and answer forms:
//
//   plane   MESH FACE          -> none | nx ny nz offset
//   frame   nx ny nz           -> ux uy uz vx vy vz
//   project MESH FACE o u v    -> RING
//   intersect P P | subtract P P | subtract_region REGION P -> REGION
//   measure REGION             -> region_area polygon_area...
//   centroid REGION            -> none | x y
//   extrude RING z_base height -> MESH-OUT
//   clean tolerance MESH FACES -> MESH-OUT | error message...
//
// MESH = count x y z...; FACE = count index...; RING = count x y...;
// P = ring-count RING... (outer first); REGION = polygon-count P...;
// FACES = count FACE...; MESH-OUT = MESH FACES.
#include "kernel/extrusion.h"
#include "kernel/mesh_clean.h"
#include "kernel/plane.h"
#include "kernel/polygon.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

using namespace kovalith;

namespace {

std::string token() {
  std::string t;
  std::cin >> t;
  return t;
}
double number() { return std::strtod(token().c_str(), nullptr); }
std::size_t count() { return std::stoull(token()); }

Vector3D vec() {
  const double x = number(), y = number();
  return {x, y, number()};
}
std::vector<Vector3D> mesh_vertices() {
  std::vector<Vector3D> vs(count());
  for (Vector3D& v : vs) v = vec();
  return vs;
}
std::vector<Index> face() {
  std::vector<Index> f(count());
  for (Index& i : f) i = count();
  return f;
}
Ring ring() {
  Ring r(count());
  for (Point2& p : r) {
    p.x = number();
    p.y = number();
  }
  return r;
}
Polygon polygon() {
  Polygon p;
  const std::size_t rings = count();
  if (rings == 0) return p;
  p.outer = ring();
  for (std::size_t i = 1; i < rings; ++i) p.holes.push_back(ring());
  return p;
}
Region region() {
  Region r(count());
  for (Polygon& p : r) p = polygon();
  return r;
}

void put(double v) { std::printf(" %a", v); }
void put_mesh(const Mesh& m) {
  std::printf(" %zu", m.vertices.size());
  for (const Vector3D& v : m.vertices) {
    put(v.x);
    put(v.y);
    put(v.z);
  }
  std::printf(" %zu", m.face_count());
  for (std::size_t k = 0; k < m.face_count(); ++k) {
    std::printf(" %zu", m.face(k).size());
    for (Index i : m.face(k)) std::printf(" %llu", static_cast<unsigned long long>(i));
  }
}
void put_ring(const Ring& r) {
  std::printf(" %zu", r.size());
  for (const Point2& p : r) {
    put(p.x);
    put(p.y);
  }
}
void put_region(const Region& region) {
  std::printf(" %zu", region.size());
  for (const Polygon& p : region) {
    std::printf(" %zu", 1 + p.holes.size());
    put_ring(p.outer);
    for (const Ring& h : p.holes) put_ring(h);
  }
}

}  // namespace

int main() {
  for (std::string op; std::cin >> op;) {
    if (op == "plane") {
      const auto vs = mesh_vertices();
      const auto f = face();
      if (auto plane = face_plane(vs, f)) {
        put(plane->normal.x);
        put(plane->normal.y);
        put(plane->normal.z);
        put(plane->offset);
      } else {
        std::printf(" none");
      }
    } else if (op == "frame") {
      const PlaneFrame frame = plane_frame(vec());
      for (double c : {frame.u.x, frame.u.y, frame.u.z, frame.v.x, frame.v.y, frame.v.z}) put(c);
    } else if (op == "project") {
      const auto vs = mesh_vertices();
      const auto f = face();
      const Vector3D o = vec(), u = vec(), v = vec();
      const Polygon p = GeometryKernel::project_and_build_polygon(vs, f, o, u, v);
      put_ring(p.outer);
    } else if (op == "intersect" || op == "subtract") {
      const Polygon a = polygon();
      const Polygon b = polygon();
      put_region(op == "intersect" ? intersect(a, b) : subtract(a, b));
    } else if (op == "subtract_region") {
      const Region a = region();
      put_region(subtract(a, polygon()));
    } else if (op == "measure") {
      const Region r = region();
      put(region_area(r));
      for (const Polygon& p : r) put(polygon_area(p));
    } else if (op == "centroid") {
      if (auto c = region_centroid(region())) {
        put(c->x);
        put(c->y);
      } else {
        std::printf(" none");
      }
    } else if (op == "extrude") {
      const Ring r = ring();
      const double z = number();
      put_mesh(extrude_polygon_to_mesh(r, z, number()));
    } else if (op == "clean") {
      const double tolerance = number();
      Mesh m;
      m.vertices = mesh_vertices();
      for (std::size_t k = count(); k > 0; --k) m.add_face(face());
      if (auto cleaned = clean_mesh(m, tolerance)) {
        put_mesh(*cleaned);
      } else {
        std::printf(" error %s", cleaned.error().message.c_str());
      }
    } else {
      std::printf(" error unknown-op");
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}
