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

// Appends `s` to `out` as valid UTF-8, each maximal ill-formed subpart replaced by U+FFFD
// (what Python's errors="replace" produces). Unless `final`, a well-formed but unfinished
// sequence at the end is left for the next call: returns how many bytes were used.
size_t utf8_append_replacing(std::string_view s, bool final, std::string& out);

}  // namespace kestrune
