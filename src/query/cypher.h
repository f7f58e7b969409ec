// Text of the Cypher statements that load a spatial graph into a graph
// database: one "CREATE (r{index}:Room {...})" per node and one
// "MATCH ... CREATE (a)-[:SHARES_WALL {...}]->(b)" per edge.
//
// A statement is written in three steps so that the caller can fetch each
// attribute's value text between them: begin_*_statement writes the fixed
// part, append_property_key one attribute's ", key: " (the value text follows
// verbatim), end_*_statement closes the statement. All text is UTF-8.
//
// Numbers: unsigned integers in decimal; doubles as the shortest digit
// string that reads back to the same double, positional, never an exponent,
// integral values without a point ("2", "1000000000000000000000",
// "0.0000001", "-0"), and "NaN", "inf", "-inf".
//
// Quoting, so that text taken from user data can never end a statement:
// a key that is a plain identifier ([A-Za-z_][A-Za-z0-9_]*) is written as it
// is, any other key between backticks with each backtick doubled; inside the
// quoted contact_type a backslash and a single quote are escaped with a
// backslash. Graphs whose keys and contact types are plain give the same
// text with or without this quoting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "records/vector3d.h"

namespace kovalith {

void append_cypher_number(std::string& out, double value);

void begin_room_statement(std::string& out, std::uint64_t index, const Vector3D& centroid);
void end_room_statement(std::string& out);

struct RelationshipFields {
  std::uint64_t node_a = 0;
  std::uint64_t node_b = 0;
  double shared_area = 0.0;
  Vector3D contact_centroid;
  std::string_view contact_type;
};

void begin_relationship_statement(std::string& out, const RelationshipFields& edge);
void end_relationship_statement(std::string& out);

// Writes ", " then the (quoted if need be) key, then ": ".
void append_property_key(std::string& out, std::string_view key);

}  // namespace kovalith
