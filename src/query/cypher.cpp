#include "query/cypher.h"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace kovalith {
namespace {

// Longest fixed-notation shortest form of a double: the smallest subnormal,
// "0." then 323 zeros and one digit, plus a sign.
constexpr std::size_t max_fixed_double_chars = 330;

void append_u64(std::string& out, std::uint64_t value) {
  std::array<char, 20> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

bool is_plain_identifier(std::string_view key) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (key.empty() || !letter(key.front())) return false;
  for (const char c : key.substr(1)) {
    if (!letter(c) && !digit(c)) return false;
  }
  return true;
}

void append_centroid(std::string& out, const Vector3D& c) {
  out += ", centroid_x: ";
  append_cypher_number(out, c.x);
  out += ", centroid_y: ";
  append_cypher_number(out, c.y);
  out += ", centroid_z: ";
  append_cypher_number(out, c.z);
}

}  // namespace

void append_cypher_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  // Fixed format without a precision gives the shortest round-trip digits in
  // positional notation, no trailing point, and "-0", "inf", "-inf".
  std::array<char, max_fixed_double_chars> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed);
  if (result.ec != std::errc{}) {
    // Unreachable with the buffer sized above; never emit a partial number.
    throw std::logic_error("number formatting overflowed its buffer");
  }
  out.append(buffer.data(), result.ptr);
}

void begin_room_statement(std::string& out, std::uint64_t index, const Vector3D& centroid) {
  out += "CREATE (r";
  append_u64(out, index);
  out += ":Room {index: ";
  append_u64(out, index);
  append_centroid(out, centroid);
}

void end_room_statement(std::string& out) { out += "})"; }

void begin_relationship_statement(std::string& out, const RelationshipFields& edge) {
  out += "MATCH (a:Room {index: ";
  append_u64(out, edge.node_a);
  out += "}), (b:Room {index: ";
  append_u64(out, edge.node_b);
  out += "}) CREATE (a)-[:SHARES_WALL {area: ";
  append_cypher_number(out, edge.shared_area);
  append_centroid(out, edge.contact_centroid);
  out += ", contact_type: '";
  for (const char c : edge.contact_type) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  out += '\'';
}

void end_relationship_statement(std::string& out) { out += "}]->(b)"; }

void append_property_key(std::string& out, std::string_view key) {
  out += ", ";
  if (is_plain_identifier(key)) {
    out += key;
  } else {
    out += '`';
    for (const char c : key) {
      if (c == '`') out += '`';
      out += c;
    }
    out += '`';
  }
  out += ": ";
}

}  // namespace kovalith
