// The limits every front end applies to a request, in one place: the command line, the
// Python engine and (through it) the HTTP server refuse or clip the same way.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"

namespace kestrune {

// temperature: a number, 0 or above (0 is greedy); top_p: above 0, at most 1.
Status check_sampling(float temperature, float top_p);

// The token budget that fits: `used` tokens already in the sequence plus `prompt` new
// ones must leave room in `context` (0 means unknown: no limit), else the error
// "prompt of {} tokens leaves no room in the context of {} tokens"; a budget reaching
// past the context is cut to end there.
Result<uint64_t> fit_budget(uint64_t used, uint64_t prompt, uint64_t budget, uint64_t context);

// The errors above, which the Python module raises as ValueError.
bool is_limit_error(const Error& error);

// "# warning: context full, stopped at {} / {} tokens\n" once a run was cut at the context.
std::string context_full_line(uint64_t position, uint64_t context);

}  // namespace kestrune
