// Character classes of the pre-tokenizer, generated from the Unicode Character Database
// (version 16.0) by tools/gen_unicode_tables.py.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune {

// Flag bits of a code point; a newline is also a space.
enum CharFlag : uint8_t {
  kCharLetter = 1,   // General_Category L* or M*
  kCharNumber = 2,   // General_Category N*
  kCharSpace = 4,    // White_Space
  kCharNewline = 8,  // U+000A, U+000D
};

// Maximal runs of code points with the same nonzero flags, sorted and disjoint; code
// points outside every range have no flag.
struct CharRange {
  uint32_t first;
  uint32_t last;
  uint8_t flags;
};

extern const CharRange kCharRanges[];
extern const size_t kCharRangeCount;

}  // namespace kestrune
