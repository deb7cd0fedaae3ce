// The 0.8B-geometry models the benchmarks share: a path from an environment variable,
// or a file generated once into $TMPDIR and reused across runs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

inline std::string model_path(const char* env, const char* types) {
  if (const char* p = std::getenv(env); p && *p) return p;
  static std::map<std::string, std::string> made;
  if (auto it = made.find(types); it != made.end()) return it->second;
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrune-bench-0.8b-" + types + ".gguf";
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    const std::string cmd = std::string("python3 '") + KESTRUNE_SOURCE_DIR + "/tools/gen_model.py' '" + path +
                            "' --preset 0.8b --vocab synthetic --types " + types;
    if (std::system(cmd.c_str()) != 0) return "";
  }
  made.emplace(types, path);
  return path;
}
