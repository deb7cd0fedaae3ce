#include "tokenizer/byte_mapping.h"

#include <array>

namespace kestrune {

namespace {

constexpr bool stands_for_itself(unsigned b) {
  return (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
}

// The remaining 68 bytes, in increasing order, take U+0100 onwards.
constexpr std::array<uint16_t, 256> kByteToChar = [] {
  std::array<uint16_t, 256> t{};
  uint16_t next = 0x100;
  for (unsigned b = 0; b < 256; ++b) t[b] = stands_for_itself(b) ? static_cast<uint16_t>(b) : next++;
  return t;
}();

constexpr uint32_t kMappedEnd = 0x144;  // one past the highest mapped code point

constexpr std::array<int16_t, kMappedEnd> kCharToByte = [] {
  std::array<int16_t, kMappedEnd> t{};
  for (auto& v : t) v = -1;
  for (unsigned b = 0; b < 256; ++b) t[kByteToChar[b]] = static_cast<int16_t>(b);
  return t;
}();

}  // namespace

uint32_t byte_to_char(uint8_t b) { return kByteToChar[b]; }

std::optional<uint8_t> char_to_byte(uint32_t cp) {
  if (cp >= kMappedEnd || kCharToByte[cp] < 0) return std::nullopt;
  return static_cast<uint8_t>(kCharToByte[cp]);
}

}  // namespace kestrune
