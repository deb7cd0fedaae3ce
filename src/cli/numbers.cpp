#include "cli/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kestrune {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_folded(std::string_view s, std::string_view word) {
  if (s.size() != word.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (lower(s[i]) != word[i]) return false;
  }
  return true;
}

// Digit+ ('.' Digit*)? | '.' Digit+, then (e|E) sign? Digit+.
bool is_decimal_literal(std::string_view s) {
  size_t i = 0;
  size_t int_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

Result<uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return invalid_input("cannot parse integer from empty string");
  if (s[0] == '+') {
    s.remove_prefix(1);
    if (s.empty()) return invalid_input("invalid digit found in string");
  }
  uint64_t value = 0;
  // Left to right: the first bad character or the first overflow decides the message.
  for (char c : s) {
    if (!is_digit(c)) return invalid_input("invalid digit found in string");
    auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      return invalid_input("number too large to fit in target type");
    }
    value = value * 10 + digit;
  }
  return value;
}

Result<float> parse_f32(std::string_view s) {
  if (s.empty()) return invalid_input("cannot parse float from empty string");
  bool negative = false;
  std::string_view body = s;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  float value = 0.0f;
  if (equals_folded(body, "inf") || equals_folded(body, "infinity")) {
    value = std::numeric_limits<float>::infinity();
  } else if (equals_folded(body, "nan")) {
    value = std::numeric_limits<float>::quiet_NaN();
  } else if (is_decimal_literal(body)) {
    auto res = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
      // Decide the direction of the range error from a double reading of the literal.
      std::string copy(body);
      double wide = std::strtod(copy.c_str(), nullptr);
      value = std::fabs(wide) >= 1.0 ? std::numeric_limits<float>::infinity() : 0.0f;
    } else if (res.ec != std::errc() || res.ptr != body.data() + body.size()) {
      return invalid_input("invalid float literal");
    }
  } else {
    return invalid_input("invalid float literal");
  }
  return negative ? -value : value;
}

}  // namespace kestrune
