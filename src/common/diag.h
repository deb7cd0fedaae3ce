// Diagnostic lines ("# ...") on standard error, written whole so that lines from
// concurrent generations do not interleave mid-line.
#pragma once

#include <string_view>

namespace kestrune {

void diag(std::string_view line);

// While one lives on a thread with `quiet` set, that thread's "# " lines are dropped,
// except warnings ("# warning: ..."); everything else (errors, the chat prompt) still
// prints. Scopes nest.
class QuietScope {
 public:
  explicit QuietScope(bool quiet);
  ~QuietScope();
  QuietScope(const QuietScope&) = delete;
  QuietScope& operator=(const QuietScope&) = delete;

 private:
  bool previous_;
};

}  // namespace kestrune
