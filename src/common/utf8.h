// UTF-8 validation with the standard decoder's error texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

// Absent when `s` is valid UTF-8; otherwise "invalid utf-8 sequence of {} bytes from
// index {}" or "incomplete utf-8 byte sequence from index {}" for the first bad sequence.
std::optional<std::string> utf8_error(std::string_view s);

// Length of the valid prefix starting at `i` for one scalar value: 1-4 when valid,
// 0 when the bytes at `i` do not start a valid sequence.
size_t utf8_sequence_length(std::string_view s, size_t i);

}  // namespace kestrune
