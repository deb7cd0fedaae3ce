// Golden logits of generated tiny models: any change to the forward numerics shows up
// here. The files were checked against tools/reference_forward.py (an independent
// float64 implementation); regenerate with KESTRUNE_UPDATE_GOLDEN=1 only after such a
// check.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "model/forward.h"
#include "model/model.h"
#include "model_fixture.h"

namespace kestrune {
namespace {

using testing::generated_model;
using testing::ScopedEnv;

uint64_t fnv1a_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t h = 1469598103934665603ull;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      h ^= static_cast<unsigned char>(buf[i]);
      h *= 1099511628211ull;
    }
  }
  return h;
}

std::string hex(uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "%016" PRIx64, v);
  return b;
}

struct Golden {
  std::string args;
  uint64_t hash = 0;
  std::vector<uint32_t> tokens;
  std::vector<std::vector<float>> logits;
};

std::optional<Golden> read_golden(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  Golden g;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("model: ", 0) == 0) {
      g.args = line.substr(7);
    } else if (line.rfind("fnv1a64: ", 0) == 0) {
      g.hash = std::stoull(line.substr(9), nullptr, 16);
    } else if (line.rfind("tokens:", 0) == 0) {
      std::istringstream s(line.substr(7));
      for (uint32_t t; s >> t;) g.tokens.push_back(t);
    } else if (line.rfind("step", 0) == 0) {
      g.logits.emplace_back();
    } else if (!g.logits.empty()) {
      g.logits.back().push_back(std::strtof(line.c_str(), nullptr));
    }
  }
  return g;
}

void write_golden(const std::string& path, const Golden& g) {
  std::ofstream out(path);
  out << "# kestrune golden logits; check with tools/reference_forward.py MODEL --golden THIS\n";
  out << "model: " << g.args << "\n";
  out << "fnv1a64: " << hex(g.hash) << "\n";
  out << "tokens:";
  for (auto t : g.tokens) out << " " << t;
  out << "\n";
  for (size_t s = 0; s < g.logits.size(); ++s) {
    out << "step " << s << "\n";
    for (float v : g.logits[s]) {
      char b[32];
      std::snprintf(b, sizeof b, "%.9g", static_cast<double>(v));
      out << b << "\n";
    }
  }
}

struct Case {
  const char* file;
  const char* args;
};

class GoldenLogits : public ::testing::TestWithParam<Case> {};

TEST_P(GoldenLogits, MatchBitForBit) {
  const Case c = GetParam();
  const std::string golden_path = std::string(KESTRUNE_SOURCE_DIR) + "/tests/golden/" + c.file;
  auto path = generated_model(c.args);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  const bool update = std::getenv("KESTRUNE_UPDATE_GOLDEN") != nullptr;

  Golden want;
  if (!update) {
    auto g = read_golden(golden_path);
    ASSERT_TRUE(g) << "missing " << golden_path;
    want = *g;
    ASSERT_EQ(want.args, c.args);
    ASSERT_EQ(hex(fnv1a_file(*path)), hex(want.hash))
        << "the generator's output changed; check the engine with tools/reference_forward.py and regenerate";
  } else {
    want.args = c.args;
    want.hash = fnv1a_file(*path);
    want.tokens = {1, 200, 7, 498, 3, 3, 42};
  }

  for (const char* mode : {"eager", "lazy"}) {
    ScopedEnv clean{KESTRUNE_CLEAN_ENV};
    ScopedEnv env{{"KESTRUNE_WEIGHTS", mode}};
    ::testing::internal::CaptureStderr();
    auto m = load_model(*path);
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(m.ok()) << m.error().message;
    DecodeState st = new_state(**m);
    for (size_t s = 0; s < want.tokens.size(); ++s) {
      auto l = forward(**m, st, want.tokens[s]);
      ASSERT_TRUE(l.ok()) << l.error().message;
      if (update) {
        if (std::string(mode) == "eager") want.logits.push_back(*l);
        continue;
      }
      ASSERT_LT(s, want.logits.size());
      ASSERT_EQ(l->size(), want.logits[s].size());
      for (size_t i = 0; i < l->size(); ++i) {
        uint32_t a, b;
        std::memcpy(&a, &(*l)[i], 4);
        std::memcpy(&b, &want.logits[s][i], 4);
        ASSERT_EQ(a, b) << mode << " step " << s << " logit " << i << ": " << (*l)[i] << " vs " << want.logits[s][i];
      }
    }
  }
  if (update) write_golden(golden_path, want);
}

INSTANTIATE_TEST_SUITE_P(Tiny, GoldenLogits,
                         ::testing::Values(Case{"tiny_q8_0.golden", "--preset tiny --seed 1 --types q8_0"},
                                           Case{"tiny_q4k_mix_untied.golden",
                                                "--preset tiny --seed 2 --types q4k-mix --untied"},
                                           Case{"tiny_f32_kv2.golden",
                                                "--preset tiny --seed 4 --types f32 --heads 4 --kv-heads 2 "
                                                "--ssm-hk 2 --ssm-hv 6 --conv-kernel 3"}));

}  // namespace
}  // namespace kestrune
