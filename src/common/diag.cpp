#include "common/diag.h"

#include <cstdio>

namespace kestrune {

void diag(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace kestrune
