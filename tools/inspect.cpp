// kestrune-inspect FILE [TENSOR [ROW]]: the build-tree form of `kestrune inspect`.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/inspect.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: kestrune-inspect FILE [TENSOR [ROW]]\n");
    return 2;
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  auto st = kestrune::run_inspect(args);
  if (st.ok()) return 0;
  std::fprintf(stderr, "kestrune-inspect: %s\n", st.error().message.c_str());
  return 1;
}
