// Strict number parsing for command-line values, with the standard parse messages
// ("invalid digit found in string", "invalid float literal", ...).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

namespace kestrune {

// Decimal digits with an optional leading "+"; no blanks, no "-".
Result<uint64_t> parse_u64(std::string_view s);

// Sign, then "inf", "infinity" or "nan" (any case), or digits with an optional point
// and an optional exponent ("1", "1.", ".5", "2.5e-3"); correctly rounded to f32,
// overflowing to infinity and underflowing to zero.
Result<float> parse_f32(std::string_view s);

}  // namespace kestrune
