// How far the int8 products (KESTRUNE_CPU_XQUANT=q8) move a model's next-token
// distributions from the exact path: mean KL(exact || int8) and top-1 agreement over
// teacher-forced positions of models/heldout.txt (encoded with each file's tokenizer),
// beside the exact path's mean top-1 probability (how peaked its distributions are).
//
//   ./build/bench_xquant_kl [--positions N] [--threads T] FILE.gguf...
// Default 256 positions, 2 threads; with no files, the trained Q8_0 and mix files in
// models/ and the 0.8B-shaped Q8_0 and mix files of bench_models.h.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_models.h"
#include "model/forward.h"
#include "model/model.h"
#include "tokenizer/tokenizer.h"

using namespace kestrune;

namespace {

std::unique_ptr<Model> load(const std::string& path, bool int8, const std::string& threads) {
  ::setenv("KESTRUNE_THREADS", threads.c_str(), 1);
  if (int8) ::setenv("KESTRUNE_CPU_XQUANT", "q8", 1);
  auto m = load_model(path);
  ::unsetenv("KESTRUNE_CPU_XQUANT");
  ::unsetenv("KESTRUNE_THREADS");
  if (!m.ok()) {
    std::fprintf(stderr, "load %s: %s\n", path.c_str(), m.error().message.c_str());
    std::exit(1);
  }
  return std::move(*m);
}

std::vector<uint32_t> heldout_tokens(const Model& m, size_t n) {
  std::string text;
  if (std::FILE* f = std::fopen((std::string(KESTRUNE_SOURCE_DIR) + "/models/heldout.txt").c_str(), "rb")) {
    char buf[65536];
    text.assign(buf, std::fread(buf, 1, sizeof buf, f));
    std::fclose(f);
  }
  auto tok = tokenizer_from_gguf(m.file->gguf);
  if (!tok.ok()) return {};
  auto ids = encode(*tok, text);
  if (!ids.ok()) return {};
  ids->resize(std::min(n, ids->size()));
  return *ids;
}

std::vector<double> log_softmax(const std::vector<float>& l) {
  double mx = -INFINITY, s = 0.0;
  for (float v : l) mx = std::max(mx, double(v));
  for (float v : l) s += std::exp(double(v) - mx);
  std::vector<double> r(l.size());
  for (size_t i = 0; i < l.size(); ++i) r[i] = double(l[i]) - mx - std::log(s);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  size_t positions = 256;
  std::string threads = "2";
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--positions") && i + 1 < argc) {
      positions = size_t(std::atol(argv[++i]));
    } else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) {
      threads = argv[++i];
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    files = {std::string(KESTRUNE_SOURCE_DIR) + "/models/trained-q8_0.gguf",
             std::string(KESTRUNE_SOURCE_DIR) + "/models/trained-q4k-mix.gguf",
             model_path("KESTRUNE_BENCH_Q8_0", "q8_0"), model_path("KESTRUNE_BENCH_Q4K_MIX", "q4k-mix")};
  }
  std::printf("%-48s %9s %12s %8s %10s\n", "file", "positions", "mean KL", "top-1", "exact p1");
  for (const std::string& path : files) {
    auto exact = load(path, false, threads);
    auto int8 = load(path, true, threads);
    const auto tokens = heldout_tokens(*exact, positions);
    DecodeState se = new_state(*exact), si = new_state(*int8);
    double kl = 0.0, p1 = 0.0;
    size_t same = 0;
    for (uint32_t t : tokens) {
      auto le = forward(*exact, se, t);
      auto li = forward(*int8, si, t);
      if (!le.ok() || !li.ok()) return 2;
      const auto p = log_softmax(*le), q = log_softmax(*li);
      for (size_t i = 0; i < p.size(); ++i) kl += std::exp(p[i]) * (p[i] - q[i]);
      p1 += std::exp(*std::max_element(p.begin(), p.end()));
      same += std::max_element(p.begin(), p.end()) == p.begin() + (std::max_element(q.begin(), q.end()) - q.begin());
    }
    const double n = double(std::max<size_t>(1, tokens.size()));
    std::printf("%-48s %9zu %12.6f %8.4f %10.4f\n", path.c_str(), tokens.size(), kl / n, double(same) / n, p1 / n);
    std::fflush(stdout);
  }
  return 0;
}
