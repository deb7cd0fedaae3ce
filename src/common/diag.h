// Diagnostic lines ("# ...") on standard error, written whole so that lines from
// concurrent generations do not interleave mid-line.
#pragma once

#include <string_view>

namespace kestrune {

void diag(std::string_view line);

}  // namespace kestrune
