#include "query/cypher.h"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace kovalith {
namespace {

// A double's shortest round-trip digits are at most 17; in scientific form
// with sign, point and a three-digit exponent that is 24 characters.
constexpr std::size_t max_significant_digits = 17;
constexpr std::size_t max_scientific_double_chars = 32;

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
  if (std::isinf(value)) {
    out += value > 0 ? "inf" : "-inf";
    return;
  }
  // Scientific format without a precision gives the shortest digits that
  // read back ("1e+23", "1.7976931348623157e+308"); they are then written
  // out positionally. (The fixed format would write the exact binary value
  // of a large double instead: 99999999999999991611392 for 1e23.)
  std::array<char, max_scientific_double_chars> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific);
  if (result.ec != std::errc{}) {
    // Unreachable with the buffer sized above; never emit a partial number.
    throw std::logic_error("number formatting overflowed its buffer");
  }
  const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  const std::size_t e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  // The digits, without the point after the first one.
  std::array<char, max_significant_digits> digits;
  std::size_t count = 0;
  for (const char c : mantissa) {
    if (c != '.') digits[count++] = c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  // The point goes after `point` digits (none or fewer: leading zeros).
  const long point = static_cast<long>(exponent) + 1;
  const std::string_view all(digits.data(), count);
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += all;
  } else if (static_cast<std::size_t>(point) >= count) {
    out += all;
    out.append(static_cast<std::size_t>(point) - count, '0');
  } else {
    out += all.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += all.substr(static_cast<std::size_t>(point));
  }
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
