#include "common/env.h"

#include <cstdlib>

#include "common/utf8.h"

namespace kestrune {

std::optional<std::string> env_utf8(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (utf8_error(s).has_value()) return std::nullopt;
  return s;
}

bool env_is_set(const char* name) { return std::getenv(name) != nullptr; }

}  // namespace kestrune
