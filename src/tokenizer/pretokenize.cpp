#include "tokenizer/pretokenize.h"

#include <array>

#include "tokenizer/unicode_tables.h"

namespace kestrune {

namespace {

constexpr std::array<uint8_t, 128> kAsciiFlags = [] {
  std::array<uint8_t, 128> t{};
  for (unsigned c = 'A'; c <= 'Z'; ++c) t[c] = kCharLetter;
  for (unsigned c = 'a'; c <= 'z'; ++c) t[c] = kCharLetter;
  for (unsigned c = '0'; c <= '9'; ++c) t[c] = kCharNumber;
  for (unsigned c = 0x09; c <= 0x0D; ++c) t[c] = kCharSpace;
  t[' '] = kCharSpace;
  t['\n'] |= kCharNewline;
  t['\r'] |= kCharNewline;
  return t;
}();

constexpr uint8_t kWordClass = kCharLetter | kCharNumber | kCharSpace;

struct Char {
  uint32_t cp;
  uint32_t len;  // bytes
  uint8_t flags;
};

// Decodes the character at `i`. Valid input is a precondition; a truncated sequence is
// still read as one flagless byte so that no read goes past the end.
inline Char char_at(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(s[k])); };
  uint32_t b0 = b(i);
  if (b0 < 0x80) return {b0, 1, kAsciiFlags[b0]};
  uint32_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  if (i + len > s.size()) return {b0, 1, 0};
  uint32_t cp;
  if (len == 2) {
    cp = ((b0 & 0x1F) << 6) | (b(i + 1) & 0x3F);
  } else if (len == 3) {
    cp = ((b0 & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
  } else {
    cp = ((b0 & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
  }
  return {cp, len, char_flags(cp)};
}

inline uint8_t ascii_lower(char c) {
  auto u = static_cast<uint8_t>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<uint8_t>(u + 32) : u;
}

// Length of a contraction piece starting with the apostrophe at `i`, or 0.
size_t contraction_len(std::string_view s, size_t i) {
  if (i + 1 >= s.size()) return 0;
  uint8_t a = ascii_lower(s[i + 1]);
  if (a == 's' || a == 't' || a == 'm' || a == 'd') return 2;
  if (i + 2 >= s.size()) return 0;
  uint8_t b = ascii_lower(s[i + 2]);
  if ((a == 'l' && b == 'l') || ((a == 'r' || a == 'v') && b == 'e')) return 3;
  return 0;
}

size_t letters_end(std::string_view s, size_t k) {
  while (k < s.size()) {
    Char c = char_at(s, k);
    if (!(c.flags & kCharLetter)) break;
    k += c.len;
  }
  return k;
}

}  // namespace

uint8_t char_flags(uint32_t cp) {
  if (cp < 0x80) return kAsciiFlags[cp];
  size_t lo = 0, hi = kCharRangeCount;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (kCharRanges[mid].last < cp) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return (lo < kCharRangeCount && kCharRanges[lo].first <= cp) ? kCharRanges[lo].flags : 0;
}

size_t piece_end(std::string_view s, size_t i) {
  const size_t n = s.size();
  Char c = char_at(s, i);
  const size_t j = i + c.len;  // the next character
  const bool has_next = j < n;

  // 1. Contractions.
  if (c.cp == '\'') {
    if (size_t len = contraction_len(s, i)) return i + len;
  }
  // 2. Letters, optionally led by one character that is no letter, number or newline.
  if (c.flags & kCharLetter) return letters_end(s, j);
  if (has_next && !(c.flags & (kCharNumber | kCharNewline))) {
    Char next = char_at(s, j);
    if (next.flags & kCharLetter) return letters_end(s, j + next.len);
  }
  // 3. A number is always a piece of its own.
  if (c.flags & kCharNumber) return j;
  // 4. Punctuation run, optionally led by a blank, then any newlines.
  size_t start = i;
  Char first = c;
  if (c.cp == ' ' && has_next) {
    start = j;
    first = char_at(s, j);
  }
  if (!(first.flags & kWordClass)) {
    size_t k = start + first.len;
    while (k < n) {
      Char d = char_at(s, k);
      if (d.flags & kWordClass) break;
      k += d.len;
    }
    while (k < n) {
      Char d = char_at(s, k);
      if (!(d.flags & kCharNewline)) break;
      k += d.len;
    }
    return k;
  }
  // 5. Space run: through its last newline; else leave the last space to lead the next
  // piece when something follows.
  size_t k = i, last_start = i, newline_end = 0;
  while (k < n) {
    Char d = char_at(s, k);
    if (!(d.flags & kCharSpace)) break;
    if (d.flags & kCharNewline) newline_end = k + d.len;
    last_start = k;
    k += d.len;
  }
  if (newline_end) return newline_end;
  if (k == i) return j;  // unreachable: every character matches a rule above
  if (k < n && last_start > i) return last_start;
  return k;
}

std::vector<std::string_view> pretokenize(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = piece_end(text, pos);
    pieces.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return pieces;
}

}  // namespace kestrune
