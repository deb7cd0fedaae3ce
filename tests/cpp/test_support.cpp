#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "gguf_builder.h"

namespace kestrune::testing {

std::string temp_path(const std::string& stem) {
  static std::atomic<int> counter{0};
  const char* dir = std::getenv("TMPDIR");
  std::string base = dir && *dir ? dir : "/tmp";
  return base + "/kestrune-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + stem;
}

}  // namespace kestrune::testing
