// Environment variables, read where the system's configuration says they are read.
#pragma once

#include <optional>
#include <string>

namespace kestrune {

// The value when the variable is set and is valid UTF-8; absent otherwise.
std::optional<std::string> env_utf8(const char* name);
// Whether the variable is set at all, whatever its bytes.
bool env_is_set(const char* name);

}  // namespace kestrune
