// Message formatting: "{}" placeholders filled in order, plus the number renderings
// that diagnostics use (shortest round-trip floats, fixed precision).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kestrune {

// Shortest string that reads back to the same float, never in exponent notation
// (1.0 prints as "1", 1e-6 as "0.000001").
std::string float_str(float v);
std::string double_str(double v);
// Fixed notation with `precision` digits after the point; `plus` forces a sign.
std::string fixed_str(double v, int precision, bool plus = false);
// Zero-padded decimal of at least `width` digits.
std::string padded_str(uint64_t v, int width);

inline std::string to_display(const std::string& s) { return s; }
inline std::string to_display(std::string_view s) { return std::string(s); }
inline std::string to_display(const char* s) { return s; }
inline std::string to_display(bool b) { return b ? "true" : "false"; }
inline std::string to_display(char c) { return std::string(1, c); }
template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
std::string to_display(T v) {
  return std::to_string(v);
}
inline std::string to_display(float v) { return float_str(v); }
inline std::string to_display(double v) { return double_str(v); }

// "[a, b, c]" with each element rendered by to_display.
template <class T>
std::string list_str(const std::vector<T>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += to_display(items[i]);
  }
  return out + "]";
}

namespace detail {
void format_next(std::string& out, std::string_view& pattern, const std::string& arg);
}

template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
  std::string out;
  out.reserve(pattern.size() + 16 * sizeof...(Args));
  (detail::format_next(out, pattern, to_display(args)), ...);
  out += pattern;
  return out;
}

}  // namespace kestrune
