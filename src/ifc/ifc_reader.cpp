#include "ifc/ifc_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "ifc/ifc_text.h"
#include "ifc/instance_table.h"

namespace kovalith {
namespace {

using ifc::InstanceTable;

constexpr std::string_view point_keyword = "IFCCARTESIANPOINT";
constexpr std::string_view loop_keyword = "IFCPOLYLOOP";
constexpr std::size_t point_coordinate_count = 3;
constexpr std::size_t min_loop_corners = 3;
constexpr std::uint32_t no_vertex = std::numeric_limits<std::uint32_t>::max();

enum class LineKind { other, point, loop };

// A point keyword anywhere wins over a loop keyword anywhere. Both start with
// "I", so one scan over the "I"s settles it.
LineKind classify(std::string_view rest) {
  if (rest.starts_with(point_keyword)) return LineKind::point;
  LineKind kind = LineKind::other;
  const char* const end = rest.data() + rest.size();
  const char* p = rest.data();
  while ((p = static_cast<const char*>(std::memchr(p, 'I', static_cast<std::size_t>(end - p))))) {
    const std::string_view tail(p, static_cast<std::size_t>(end - p));
    if (tail.starts_with(point_keyword)) return LineKind::point;
    if (tail.starts_with(loop_keyword)) kind = LineKind::loop;
    ++p;
  }
  return kind;
}

// The text between the first "((" and the first "))"; nullopt when either
// is missing or the "))" comes first.
std::optional<std::string_view> inner_group(std::string_view rest) {
  const std::size_t open = rest.find("((");
  const std::size_t close = rest.find("))");
  if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
    return std::nullopt;
  }
  return rest.substr(open + 2, close - open - 2);
}

// Splits at the first comma; `text` keeps what follows it.
std::string_view next_part(std::string_view& text, bool& last) {
  const std::size_t comma = text.find(',');
  last = comma == std::string_view::npos;
  const std::string_view part = text.substr(0, comma);
  text.remove_prefix(last ? text.size() : comma + 1);
  return part;
}

double read_coordinate(std::string_view part) {
  constexpr std::string_view stripped = " .;";
  const std::size_t first = part.find_first_not_of(stripped);
  if (first == std::string_view::npos) return 0.0;
  part = part.substr(first, part.find_last_not_of(stripped) - first + 1);
  return ifc::parse_real(part).value_or(0.0);
}

// The most points the text can define: every point line holds the keyword.
// The point arrays and the table are sized for it once, since a growing
// array briefly holds its old and its new copy and the table would be
// rehashed; capacity that is never written costs address space only.
std::size_t count_point_keywords(std::string_view text) {
  std::size_t count = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (const void* at = memmem(p, static_cast<std::size_t>(end - p), point_keyword.data(),
                                 point_keyword.size())) {
    ++count;
    p = static_cast<const char*>(at) + point_keyword.size();
  }
  return count;
}

class Reader {
 public:
  explicit Reader(std::size_t max_points) : points_by_number_(max_points) {
    points_.reserve(max_points);
    vertex_of_.reserve(max_points);
    mesh_.vertices.reserve(max_points);
  }

  void read_line(std::string_view line) {
    line = ifc::trim_white_space(line);
    if (line.empty() || line.front() != '#') return;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const auto number = ifc::parse_instance_number(ifc::trim_white_space(line.substr(1, equals - 1)));
    if (!number) return;
    const std::string_view rest = line.substr(equals + 1);
    const LineKind kind = classify(rest);
    if (kind == LineKind::other) return;
    const auto inner = inner_group(rest);
    if (!inner) return;
    if (kind == LineKind::point) {
      read_point(*number, *inner);
    } else {
      read_loop(*inner);
    }
  }

  Mesh finish() { return std::move(mesh_); }

 private:
  void read_point(std::uint64_t number, std::string_view inner) {
    std::array<std::string_view, point_coordinate_count> parts;
    bool last = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (last) return;  // fewer than three parts: never a 2D point
      parts[i] = next_part(inner, last);
    }
    const Vector3D p{read_coordinate(parts[0]), read_coordinate(parts[1]),
                     read_coordinate(parts[2])};
    if (const std::uint32_t position = points_by_number_.find(number);
        position != InstanceTable::absent) {
      // A vertex already made from the old coordinates keeps them.
      points_[position] = p;
    } else {
      points_by_number_.insert(number, static_cast<std::uint32_t>(points_.size()));
      points_.push_back(p);
      vertex_of_.push_back(no_vertex);
    }
  }

  void read_loop(std::string_view inner) {
    std::size_t corners = 0;
    bool last = false;
    while (!last) {
      std::string_view part = ifc::trim_white_space(next_part(inner, last));
      const std::size_t hashes = part.find_first_not_of('#');
      part.remove_prefix(hashes == std::string_view::npos ? part.size() : hashes);
      const auto number = ifc::parse_instance_number(part);
      if (!number) continue;
      const std::uint32_t position = points_by_number_.find(*number);
      if (position == InstanceTable::absent) continue;
      std::uint32_t& vertex = vertex_of_[position];
      if (vertex == no_vertex) {
        vertex = static_cast<std::uint32_t>(mesh_.vertices.size());
        mesh_.vertices.push_back(points_[position]);
      }
      mesh_.corners.push_back(vertex);
      ++corners;
    }
    // The vertices a dropped loop created stay in the mesh.
    if (corners < min_loop_corners) {
      mesh_.discard_open_face();
    } else {
      mesh_.close_face();
    }
  }

  InstanceTable points_by_number_;
  std::vector<Vector3D> points_;          // coordinates by position, as last defined
  std::vector<std::uint32_t> vertex_of_;  // mesh vertex of each position, once a loop used it
  Mesh mesh_;
};

}  // namespace

Result<Mesh> parse_ifc_points_and_faces(std::string_view text, Interrupt* interrupt) {
  // Between two checks of the interrupt: a fraction of a millisecond of text.
  constexpr std::size_t poll_stride = std::size_t{1} << 16;
  const std::size_t max_points = count_point_keywords(text);
  // Positions and vertices are 32-bit: four billion points would take a text
  // of more than a hundred gigabytes.
  if (max_points >= no_vertex) {
    return std::unexpected(Error{ErrorKind::value, "IFC text has too many points"});
  }
  Reader reader(max_points);
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* next_poll = p;
  while (p < end) {
    if (p >= next_poll) {
      if (interrupted(interrupt)) {
        return std::unexpected(Error{ErrorKind::interrupted, "IFC reading interrupted"});
      }
      next_poll = p + std::min(poll_stride, static_cast<std::size_t>(end - p));
    }
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = newline ? newline : end;
    reader.read_line(std::string_view(p, static_cast<std::size_t>(line_end - p)));
    p = newline ? newline + 1 : end;
  }
  Mesh mesh = reader.finish();
  if (auto valid = validate(mesh); !valid) return std::unexpected(valid.error());
  return mesh;
}

}  // namespace kovalith
