#include "ifc/ifc_text.h"

#include <array>
#include <charconv>
#include <limits>

namespace kovalith::ifc {
namespace {

constexpr bool is_ascii_white_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// The multi-byte White_Space characters, as UTF-8.
constexpr std::array<std::string_view, 2> two_byte_spaces = {"\xC2\x85", "\xC2\xA0"};
constexpr std::array<std::string_view, 17> three_byte_spaces = {
    "\xE1\x9A\x80",                                                  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",  // U+2000..
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",                  // ..U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",                  // U+2028, U+2029, U+202F
    "\xE2\x81\x9F",                                                  // U+205F
    "\xE3\x80\x80",                                                  // U+3000
};

// Length in bytes of the White_Space character that `text` starts with
// (ends with, when `at_end`), or 0.
std::size_t white_space_length(std::string_view text, bool at_end) {
  if (text.empty()) return 0;
  const unsigned char edge = static_cast<unsigned char>(at_end ? text.back() : text.front());
  if (is_ascii_white_space(edge)) return 1;
  if (edge < 0x80) return 0;  // the common case: any other ASCII byte
  auto matches = [&](std::string_view space) {
    return at_end ? text.ends_with(space) : text.starts_with(space);
  };
  for (const std::string_view space : two_byte_spaces) {
    if (matches(space)) return space.size();
  }
  for (const std::string_view space : three_byte_spaces) {
    if (matches(space)) return space.size();
  }
  return 0;
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// A decimal (without sign) as read by one scan: whether the syntax holds,
// and its value as mantissa * 10^exponent when that is exact.
struct DecimalScan {
  bool valid = false;
  bool mantissa_exact = true;  // false when digits had to be dropped
  std::uint64_t mantissa = 0;
  std::int64_t exponent = 0;
};

// Up to this many significant digits fit an unsigned 64-bit mantissa.
constexpr int max_mantissa_digits = 19;
// Exponents saturate here: anything this large is decided by its sign.
constexpr std::int64_t exponent_cap = std::int64_t{1} << 40;

// Checks the decimal syntax: std::from_chars alone would also take
// "nan(...)" and stop early on trailing text.
DecimalScan scan_decimal(std::string_view s) {
  DecimalScan scan;
  std::size_t i = 0;
  std::size_t digits = 0;
  int kept = 0;
  bool point = false;
  for (; i < s.size() && (is_digit(s[i]) || s[i] == '.'); ++i) {
    if (s[i] == '.') {
      if (point) return scan;
      point = true;
      continue;
    }
    ++digits;
    const unsigned digit = static_cast<unsigned>(s[i] - '0');
    if (scan.mantissa == 0 && digit == 0) {
      if (point) --scan.exponent;  // a leading zero only shifts the point
    } else if (kept < max_mantissa_digits) {
      scan.mantissa = scan.mantissa * 10 + digit;
      ++kept;
      if (point) --scan.exponent;
    } else {
      if (digit != 0) scan.mantissa_exact = false;
      if (!point) ++scan.exponent;
    }
  }
  if (digits == 0) return scan;
  if (i < s.size()) {
    if (s[i] != 'e' && s[i] != 'E') return scan;
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::size_t exponent_start = i;
    std::int64_t exponent = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) {
      if (exponent < exponent_cap) exponent = exponent * 10 + (s[i] - '0');
    }
    if (i == exponent_start || i != s.size()) return scan;
    scan.exponent += negative ? -exponent : exponent;
  }
  scan.valid = true;
  return scan;
}

// Clinger's fast path: a mantissa below 2^53 and a power of ten up to
// 10^22 are both exact doubles, so one multiplication or division rounds
// correctly.
constexpr std::uint64_t max_exact_mantissa = std::uint64_t{1} << 53;
constexpr std::array<double, 23> exact_powers_of_ten = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

std::optional<double> fast_value(const DecimalScan& scan) {
  if (scan.mantissa == 0) return 0.0;
  const std::int64_t max_power = static_cast<std::int64_t>(exact_powers_of_ten.size()) - 1;
  if (!scan.mantissa_exact || scan.mantissa > max_exact_mantissa || scan.exponent > max_power ||
      scan.exponent < -max_power) {
    return std::nullopt;
  }
  const double m = static_cast<double>(scan.mantissa);
  return scan.exponent >= 0 ? m * exact_powers_of_ten[scan.exponent]
                            : m / exact_powers_of_ten[-scan.exponent];
}

// For a decimal that std::from_chars found out of range: whether it lies
// above the double range (else below). Out-of-range values lie beyond 1e308
// or under 1e-323, so the decimal position of the leading digit settles it.
bool is_above_range(const DecimalScan& scan) {
  std::int64_t position = scan.exponent;
  for (std::uint64_t m = scan.mantissa; m != 0; m /= 10) ++position;
  return position > 0;
}

}  // namespace

std::string_view trim_white_space_slow(std::string_view text) {
  while (const std::size_t n = white_space_length(text, false)) text.remove_prefix(n);
  while (const std::size_t n = white_space_length(text, true)) text.remove_suffix(n);
  return text;
}

std::optional<std::uint64_t> parse_long_instance_number(std::string_view text) {
  std::uint64_t value = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - static_cast<unsigned>('0');
    if (digit > 9) return std::nullopt;
    if (__builtin_mul_overflow(value, 10u, &value) || __builtin_add_overflow(value, digit, &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::optional<double> parse_real(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (body.starts_with('+') || body.starts_with('-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
    return negative ? -inf : inf;
  }
  if (equals_ignoring_case(body, "nan")) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return negative ? -nan : nan;
  }
  const DecimalScan scan = scan_decimal(body);
  if (!scan.valid) return std::nullopt;
  if (const auto fast = fast_value(scan)) return negative ? -*fast : *fast;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value,
                                         std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    value = is_above_range(scan) ? inf : 0.0;
  } else if (ec != std::errc{} || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace kovalith::ifc
