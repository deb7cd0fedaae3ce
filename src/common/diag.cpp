#include "common/diag.h"

#include <cstdio>

namespace kestrune {

namespace {
thread_local bool t_quiet = false;
}  // namespace

void diag(std::string_view line) {
  if (line.empty()) return;
  if (t_quiet && line.starts_with("# ") && !line.starts_with("# warning: ")) return;
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

QuietScope::QuietScope(bool quiet) : previous_(t_quiet) { t_quiet = quiet; }

QuietScope::~QuietScope() { t_quiet = previous_; }

}  // namespace kestrune
