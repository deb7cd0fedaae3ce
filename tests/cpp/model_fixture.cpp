#include "model_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>

#include "gguf_builder.h"
#include "weights/model_file.h"

namespace kestrune::testing {

bool run_python(const std::string& args) {
  const std::string cmd = std::string("cd '") + KESTRUNE_SOURCE_DIR + "' && python3 " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

bool python_available() {
  static const bool ok = run_python("-c 'import numpy'");
  return ok;
}

namespace {
// Generated files live for the test process.
struct Generated {
  std::map<std::string, std::string> paths;
  ~Generated() {
    for (const auto& [args, path] : paths) std::remove(path.c_str());
  }
};
}  // namespace

std::optional<std::string> generated_model(const std::string& args) {
  static std::mutex mu;
  static Generated generated;
  auto& made = generated.paths;
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = made.find(args); it != made.end()) return it->second;
  if (!python_available()) return std::nullopt;
  const std::string path = temp_path("model.gguf");
  if (!run_python("tools/gen_model.py '" + path + "' " + args)) return std::nullopt;
  made.emplace(args, path);
  return path;
}

ScopedEnv::ScopedEnv(const Vars& vars) {
  for (const auto& [name, value] : vars) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
}

Result<std::unique_ptr<Model>> load_kept_copy(const std::string& path) {
  static std::mutex mu;
  static std::deque<std::string> kept;
  std::ifstream in(path, std::ios::binary);
  if (!in) return invalid_input("cannot open " + path);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::string_view view;
  {
    std::lock_guard<std::mutex> lock(mu);
    view = kept.emplace_back(std::move(bytes));
  }
  KS_TRY(std::unique_ptr<ModelFile> file, model_file_from_memory(view));
  return load_model(std::move(file));
}

}  // namespace kestrune::testing
