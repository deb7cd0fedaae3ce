#include "common/utf8.h"

#include <cstdint>

#include "common/format.h"

namespace kestrune {

namespace {

struct Scan {
  size_t valid;     // bytes of the sequence that are valid so far
  bool incomplete;  // input ended inside an otherwise valid sequence
};

// Decodes one sequence at i; valid == total length on success.
Scan scan(std::string_view s, size_t i, size_t& total) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    total = 1;
    return {1, false};
  }
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    total = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    total = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    total = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    total = 0;
    return {0, false};
  }
  size_t k = 1;
  for (; k < total; ++k) {
    if (i + k >= s.size()) return {k, true};
    uint8_t cont = b(i + k);
    uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (cont < l || cont > h) return {k, false};
  }
  return {total, false};
}

}  // namespace

std::optional<std::string> utf8_error(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    if (static_cast<uint8_t>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t total = 0;
    Scan r = scan(s, i, total);
    if (total != 0 && r.valid == total) {
      i += total;
      continue;
    }
    if (r.incomplete) return format("incomplete utf-8 byte sequence from index {}", i);
    return format("invalid utf-8 sequence of {} bytes from index {}", r.valid == 0 ? 1 : r.valid, i);
  }
  return std::nullopt;
}

size_t utf8_sequence_length(std::string_view s, size_t i) {
  if (i >= s.size()) return 0;
  size_t total = 0;
  Scan r = scan(s, i, total);
  return (total != 0 && r.valid == total) ? total : 0;
}

size_t utf8_append_replacing(std::string_view s, bool final, std::string& out) {
  size_t i = 0;
  while (i < s.size()) {
    size_t total = 0;
    Scan r = scan(s, i, total);
    if (total != 0 && r.valid == total) {
      out.append(s.substr(i, total));
      i += total;
      continue;
    }
    if (r.incomplete && !final) break;
    out.append("\xEF\xBF\xBD");
    i += r.valid == 0 ? 1 : r.valid;
  }
  return i;
}

}  // namespace kestrune
