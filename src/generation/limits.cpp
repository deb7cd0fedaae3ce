#include "generation/limits.h"

#include <algorithm>
#include <cmath>

#include "common/format.h"

namespace kestrune {

namespace {

constexpr std::string_view kContextTail = " tokens leaves no room in the context of ";

}  // namespace

Status check_sampling(float temperature, float top_p) {
  if (!(temperature >= 0.0f) || std::isinf(temperature)) {
    return invalid_input(format("temperature must be a number of 0 or more (0 is greedy), got {}", temperature));
  }
  if (!(top_p > 0.0f && top_p <= 1.0f)) {
    return invalid_input(format("top_p must be above 0 and at most 1, got {}", top_p));
  }
  return Ok{};
}

Result<uint64_t> fit_budget(uint64_t used, uint64_t prompt, uint64_t budget, uint64_t context) {
  if (context == 0) return budget;
  const uint64_t total = used + prompt;
  if (total >= context) return invalid_input(format("prompt of {}{}{} tokens", total, kContextTail, context));
  return std::min(budget, context - total);
}

bool is_limit_error(const Error& error) {
  if (error.kind != ErrorKind::InvalidInput) return false;
  const std::string& m = error.message;
  return m.starts_with("temperature must be ") || m.starts_with("top_p must be ") ||
         (m.starts_with("prompt of ") && m.find(kContextTail) != std::string::npos);
}

std::string context_full_line(uint64_t position, uint64_t context) {
  return format("# warning: context full, stopped at {} / {} tokens\n", position, context);
}

}  // namespace kestrune
