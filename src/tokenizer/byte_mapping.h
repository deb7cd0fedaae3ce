// The byte-level mapping of GPT-2 style vocabularies: every byte value stands for one
// printable code point, so token strings never contain raw control bytes or blanks.
#pragma once

#include <cstdint>
#include <optional>

namespace kestrune {

// The code point that stands for byte `b`.
uint32_t byte_to_char(uint8_t b);
// The byte that code point `cp` stands for; absent when `cp` is not a mapped character.
std::optional<uint8_t> char_to_byte(uint32_t cp);

}  // namespace kestrune
