// Lexical pieces of the IFC points-and-faces reader: white space trimming
// and the two number syntaxes. All work on views into the caller's text and
// never copy it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kovalith::ifc {

// Strips leading and trailing Unicode White_Space (U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000) from UTF-8 text. Bytes that are not such a character in UTF-8 stay.
std::string_view trim_white_space_slow(std::string_view text);

inline std::string_view trim_white_space(std::string_view text) {
  // Inline fast path: nearly every line and part starts and ends with a
  // printable ASCII character.
  auto printable = [](char c) { return static_cast<unsigned char>(c) - 0x21u < 0x5Fu; };
  if (!text.empty() && printable(text.front()) && printable(text.back())) return text;
  return trim_white_space_slow(text);
}

std::optional<std::uint64_t> parse_long_instance_number(std::string_view digits);

// An instance number: an optional single "+", then one or more decimal
// digits and nothing else, at most 2^64 - 1. Anything else is nullopt.
inline std::optional<std::uint64_t> parse_instance_number(std::string_view text) {
  // Up to 19 digits cannot overflow 64 bits: no checks needed in the loop.
  constexpr std::size_t safe_digits = 19;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  if (text.size() > safe_digits) return parse_long_instance_number(text);
  std::uint64_t value = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - static_cast<unsigned>('0');
    if (digit > 9) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// A coordinate: an optional sign, then either inf, infinity or nan in any
// letter case, or digits with at most one "." (at least one digit), with an
// optional exponent ("e" or "E", optional sign, one or more digits). Nothing
// else is allowed: no blanks, no hexadecimal, no "nan(...)". Correctly
// rounded; a magnitude beyond the double range gives an infinity, one below
// it zero. Invalid text is nullopt.
std::optional<double> parse_real(std::string_view text);

}  // namespace kovalith::ifc
