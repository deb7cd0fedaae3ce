#include "common/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kestrune {

namespace {

// Rewrites a to_chars shortest form ("1e-06", "1.5e+20") into plain decimal.
std::string expand_exponent(std::string s) {
  auto e = s.find('e');
  if (e == std::string::npos) return s;
  bool neg = !s.empty() && s[0] == '-';
  std::string mant = s.substr(neg ? 1 : 0, e - (neg ? 1 : 0));
  int exp = std::stoi(s.substr(e + 1));
  std::string digits;
  int point = 0;  // digits before the decimal point in mant
  auto dot = mant.find('.');
  if (dot == std::string::npos) {
    digits = mant;
    point = static_cast<int>(mant.size());
  } else {
    digits = mant.substr(0, dot) + mant.substr(dot + 1);
    point = static_cast<int>(dot);
  }
  point += exp;
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= static_cast<int>(digits.size())) {
    out = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out = digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return neg ? "-" + out : out;
}

template <class F>
std::string shortest(F v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return expand_exponent(std::string(buf, res.ptr));
}

}  // namespace

std::string float_str(float v) { return shortest(v); }
std::string double_str(double v) { return shortest(v); }

std::string fixed_str(double v, int precision, bool plus) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : (plus ? "+inf" : "inf");
  char buf[512];
  std::snprintf(buf, sizeof buf, plus ? "%+.*f" : "%.*f", precision, v);
  return buf;
}

std::string padded_str(uint64_t v, int width) {
  std::string s = std::to_string(v);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), '0');
  return s;
}

namespace detail {
void format_next(std::string& out, std::string_view& pattern, const std::string& arg) {
  auto pos = pattern.find("{}");
  if (pos == std::string_view::npos) return;  // surplus argument: nothing to fill
  out.append(pattern.substr(0, pos));
  out += arg;
  pattern.remove_prefix(pos + 2);
}
}  // namespace detail

}  // namespace kestrune
