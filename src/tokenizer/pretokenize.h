// Pre-tokenization: splits text into the pieces that byte-level BPE merges separately.
// The split is equivalent to the pattern
//   (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{M}\p{N}]?[\p{L}\p{M}]+|\p{N}
//   | ?[^\s\p{L}\p{M}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
// with \s the White_Space property and case folding limited to ASCII letters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kestrune {

// The CharFlag bits of code point `cp`.
uint8_t char_flags(uint32_t cp);

// Byte offset just past the piece that starts at byte `pos` (a character boundary
// below text.size()). `text` must be valid UTF-8.
size_t piece_end(std::string_view text, size_t pos);

// All pieces of `text` in order; they cover it exactly. `text` must be valid UTF-8.
std::vector<std::string_view> pretokenize(std::string_view text);

}  // namespace kestrune
