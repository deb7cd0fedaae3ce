#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "backend/cpu/thread_pool.h"
#include "common/format.h"
#include "model/forward.h"
#include "model/model.h"
#include "numerics/scalar.h"
#include "model_fixture.h"

namespace kestrune {
namespace {

using testing::generated_model;
using testing::ScopedEnv;

const char* kTiny = "--preset tiny --seed 1";

struct Loaded {
  std::unique_ptr<Model> model;
  std::string err;  // captured standard error
  std::string error_message;
};

Loaded load_quiet(const std::string& path) {
  ::testing::internal::CaptureStderr();
  auto m = load_model(path);
  Loaded out;
  out.err = ::testing::internal::GetCapturedStderr();
  if (m.ok()) {
    out.model = std::move(m).value();
  } else {
    out.error_message = m.error().message;
  }
  return out;
}

// Runs `tokens` through a fresh state and returns each step's logits.
std::vector<std::vector<float>> run(const Model& m, const std::vector<uint32_t>& tokens) {
  DecodeState st = new_state(m);
  std::vector<std::vector<float>> out;
  for (uint32_t t : tokens) {
    auto l = forward(m, st, t);
    EXPECT_TRUE(l.ok()) << l.error().message;
    if (!l.ok()) break;
    out.push_back(std::move(l).value());
  }
  return out;
}

// The line with every run of digits shown as "9" and every sign as "S", so that lines
// can be compared by shape.
std::string shape(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c >= '0' && c <= '9') {
      if (out.empty() || out.back() != '9') out += '9';
    } else {
      out += (c == '+' || c == '-') ? 'S' : c;
    }
  }
  return out;
}

// Whether every number with a point has exactly `n` digits after it.
bool decimals_are(const std::string& line, size_t n) {
  for (size_t p = line.find('.'); p != std::string::npos; p = line.find('.', p + 1)) {
    size_t d = 0;
    while (p + 1 + d < line.size() && line[p + 1 + d] >= '0' && line[p + 1 + d] <= '9') ++d;
    if (d != n) return false;
  }
  return true;
}

#define REQUIRE_MODEL(var, args)                                     \
  auto var##_path = generated_model(args);                           \
  if (!var##_path) GTEST_SKIP() << "python3 with numpy is unavailable"; \
  const std::string var = *var##_path

TEST(ModelLoad, StartupLinesInOrder) {
  REQUIRE_MODEL(draft, std::string(kTiny) + " --draft");
  REQUIRE_MODEL(plain, kTiny);
  const std::string cores = format("# threads: {} (cores available)\n", available_cores());
  const std::string nextn = "# mtp: 1 nextn layer(s) present \xE2\x80\x94 excluded from forward (TODO(mtp-speculative))\n";
  struct Case {
    const char* name;
    std::string path;
    ScopedEnv::Vars env;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"armed by default", draft, {{"KESTRUNE_MTP", "1"}, {"KESTRUNE_THREADS", "3"}},
       "# arch: Qwen35 / TextAutoregressive\n" + nextn +
           "# logits head: tied (token_embd)\n# weights mode: lazy (streaming)\n# trace: off\n"
           "# lens: 0 probe id(s)\n# mtp: draft head present at blk.4\n# mtp alpha instrument: off\n"
           "# threads: 3 (KESTRUNE_THREADS)\n# mtp speculative: armed\n# backend: cpu (scalar reference)\n"},
      {"eager stays off", draft, {{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "eager"}, {"KESTRUNE_THREADS", "x"}},
       "# warning: ignored KESTRUNE_THREADS=x (expected a whole number of threads, 1 or more)\n"
       "# arch: Qwen35 / TextAutoregressive\n" + nextn +
           "# logits head: tied (token_embd)\n# weights mode: eager\n# trace: off\n"
           "# lens: 0 probe id(s)\n# mtp: draft head present at blk.4\n# mtp alpha instrument: off\n" + cores +
           "# mtp: KESTRUNE_MTP=1 has no effect: it needs streamed weights (KESTRUNE_WEIGHTS=eager is set)\n"
           "# mtp speculative: off\n# backend: cpu (scalar reference)\n"},
      {"diagnostics", plain,
       {{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_TRACE", "0"}, {"KESTRUNE_LENS", " 12, 7 ,x,,+3"},
        {"KESTRUNE_MTP_ALPHA", ""}},
       "# arch: Qwen35 / TextAutoregressive\n"
       "# logits head: tied (token_embd)\n# weights mode: lazy (streaming)\n# trace: on\n"
       "# lens: 3 probe id(s)\n# mtp: KESTRUNE_MTP_ALPHA set but no nextn tensors -- instrument idle\n"
       "# mtp alpha instrument: on\n" + cores + "# mtp: KESTRUNE_MTP=1 has no effect: the file has no draft head\n"
       "# mtp speculative: off\n# backend: cpu (scalar reference)\n"},
  };
  for (const auto& c : cases) {
    ScopedEnv clean{KESTRUNE_CLEAN_ENV};
    ScopedEnv env(c.env);
    Loaded l = load_quiet(c.path);
    ASSERT_TRUE(l.model) << c.name << ": " << l.error_message;
    EXPECT_EQ(l.err, c.want) << c.name;
  }
}

TEST(ModelLoad, SpeculativeNeedsEveryCondition) {
  REQUIRE_MODEL(draft, std::string(kTiny) + " --draft");
  struct Case {
    ScopedEnv::Vars env;
    bool armed;
  };
  const Case cases[] = {
      {{{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}}, true},
      {{{"KESTRUNE_MTP", "true"}, {"KESTRUNE_WEIGHTS", "lazy"}}, false},
      {{{"KESTRUNE_MTP", "01"}, {"KESTRUNE_WEIGHTS", "lazy"}}, false},
      {{{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_TRACE", "1"}}, false},
      {{{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_MTP_ALPHA", "1"}}, false},
      {{{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_LENS", "1"}}, false},
      {{{"KESTRUNE_MTP", "1"}}, true},
      {{{"KESTRUNE_MTP", "1"}, {"KESTRUNE_WEIGHTS", "eager"}}, false},
  };
  for (const auto& c : cases) {
    ScopedEnv clean{KESTRUNE_CLEAN_ENV};
    ScopedEnv env(c.env);
    Loaded l = load_quiet(draft);
    ASSERT_TRUE(l.model) << l.error_message;
    EXPECT_EQ(l.model->switches.speculative, c.armed) << l.err;
    EXPECT_TRUE(l.model->has_draft());
    EXPECT_EQ(l.model->weights.draft_layer, 4u);
  }
}

TEST(ModelLoad, BackendSelection) {
  REQUIRE_MODEL(tiny, kTiny);
  struct Case {
    const char* value;
    const char* error;  // nullptr: loads with the backend's banner last
  };
  const char* cpu_banner = "# backend: cpu (scalar reference)\n";
  const char* cuda_banner = "# backend: cuda (Q8_0 fused dequant-GEMV resident; other ops CPU fallback)\n";
  const Case cases[] = {
      {nullptr, nullptr},
      {"cpu", nullptr},
      // Selecting makes no device call, so a build with CUDA loads without a device.
      {"cuda", cuda_runtime_built() ? nullptr : "KESTRUNE_BACKEND=cuda: this build has no CUDA backend (KESTRUNE_CUDA=OFF)"},
      {"CUDA", "unknown KESTRUNE_BACKEND: CUDA"},
      {" cpu", "unknown KESTRUNE_BACKEND:  cpu"},
      {"", "unknown KESTRUNE_BACKEND: "},
  };
  for (const auto& c : cases) {
    ScopedEnv clean{KESTRUNE_CLEAN_ENV};
    ScopedEnv env{{"KESTRUNE_BACKEND", c.value}, {"KESTRUNE_THREADS", "1"}};
    Loaded l = load_quiet(tiny);
    if (c.error) {
      EXPECT_FALSE(l.model);
      EXPECT_EQ(l.error_message, c.error);
      EXPECT_EQ(l.err.find("# backend:"), std::string::npos);
    } else {
      ASSERT_TRUE(l.model) << l.error_message;
      const bool cuda = c.value && std::string(c.value) == "cuda";
      EXPECT_TRUE(l.err.ends_with(std::string("# threads: 1 (KESTRUNE_THREADS)\n# mtp speculative: off\n") + (cuda ? cuda_banner : cpu_banner))) << l.err;
    }
  }
}

TEST(ModelLoad, LensParsing) {
  EXPECT_EQ(parse_lens(" 12, 7 ,x,,+3"), (std::vector<uint32_t>{12, 7, 3}));
  EXPECT_EQ(parse_lens("4294967295,4294967296,-1,+,1 2,\t9\n"), (std::vector<uint32_t>{4294967295u, 9}));
  EXPECT_EQ(parse_lens("\xC2\xA0" "5\xE3\x80\x80"), (std::vector<uint32_t>{5}));
  EXPECT_TRUE(parse_lens("").empty());
}

TEST(ModelState, NoncesAreDistinctAndConsecutive) {
  REQUIRE_MODEL(draft, std::string(kTiny) + " --draft");
  REQUIRE_MODEL(plain, kTiny);
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  Loaded d = load_quiet(draft), p = load_quiet(plain);
  ASSERT_TRUE(d.model && p.model);
  DecodeState a = new_state(*d.model), b = new_state(*d.model), c = new_state(*p.model);
  std::set<uint64_t> seen;
  for (const DecodeState* s : {&a, &b, &c}) {
    for (const auto& ls : s->layers) EXPECT_TRUE(seen.insert(ls.nonce).second);
  }
  EXPECT_TRUE(seen.insert(a.nonce).second);
  EXPECT_TRUE(seen.insert(b.nonce).second);
  // Layer nonces in layer order, then the state's: L + 1 identifiers per state.
  for (size_t i = 1; i < a.layers.size(); ++i) EXPECT_EQ(a.layers[i].nonce, a.layers[i - 1].nonce + 1);
  EXPECT_EQ(a.nonce, a.layers.back().nonce + 1);
  EXPECT_EQ(b.layers.front().nonce, a.nonce + 1);
  EXPECT_EQ(c.layers.front().nonce, b.nonce + 1);
  EXPECT_TRUE(a.draft_cache.has_value());
  EXPECT_FALSE(c.draft_cache.has_value());
  // Fresh states: empty caches, zero GDN states, position 0.
  EXPECT_EQ(a.position, 0u);
  const auto& gdn = std::get<GdnLayerState>(a.layers[0].data);
  EXPECT_EQ(gdn.conv.size(), 3u * 512);
  EXPECT_EQ(gdn.recurrent.size(), 4u * 64 * 64);
  EXPECT_TRUE(std::holds_alternative<KvCache>(a.layers[3].data));
}

TEST(ModelForward, CachedAndStreamedRoutesAreBitIdentical) {
  const std::vector<std::string> variants = {
      std::string(kTiny) + " --types q8_0",
      std::string(kTiny) + " --types q4k-mix --untied",
      std::string(kTiny) + " --types f16 --seed 3",
  };
  const std::vector<uint32_t> tokens = {1, 200, 7, 498, 3, 3};
  for (const auto& args : variants) {
    REQUIRE_MODEL(path, args);
    std::vector<std::vector<std::vector<float>>> runs;
    for (const char* env : {"eager", "lazy"}) {
      for (const char* trace : {static_cast<const char*>(nullptr), "1"}) {
        ScopedEnv clean{KESTRUNE_CLEAN_ENV};
        ScopedEnv e{{"KESTRUNE_WEIGHTS", env}, {"KESTRUNE_TRACE", trace}};
        Loaded l = load_quiet(path);
        ASSERT_TRUE(l.model) << l.error_message;
        ::testing::internal::CaptureStderr();
        runs.push_back(run(*l.model, tokens));
        ::testing::internal::GetCapturedStderr();
      }
    }
    ASSERT_EQ(runs[0].size(), tokens.size()) << args;
    EXPECT_EQ(runs[0][0].size(), 512u);
    for (size_t r = 1; r < runs.size(); ++r) EXPECT_EQ(runs[r], runs[0]) << args << " run " << r;
    // The logits depend on the history, not only on the token.
    EXPECT_NE(runs[0][4], runs[0][5]) << args;
  }
}

TEST(ModelForward, TraceLines) {
  REQUIRE_MODEL(tiny, kTiny);
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv e{{"KESTRUNE_TRACE", "1"}, {"KESTRUNE_WEIGHTS", "lazy"}};
  Loaded l = load_quiet(tiny);
  ASSERT_TRUE(l.model);
  DecodeState st = new_state(*l.model);
  ASSERT_TRUE(forward(*l.model, st, 5).ok());
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(forward(*l.model, st, 9).ok());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(st.position, 2u);

  auto x = embed(*l.model, 9);
  std::istringstream lines(err);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "# trace t=1 embed |x|=" + fixed_str(l2_norm(*x), 4));
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    const std::string kind = i == 3 ? "attn" : "gdn ";
    EXPECT_EQ(shape(line), "# trace t=9 L9 " + kind + " |mix|=9.9 |ffn|=9.9 |x|=9.9") << line;
    EXPECT_TRUE(line.starts_with("# trace t=1 L0" + std::to_string(i) + " ")) << line;
    EXPECT_TRUE(decimals_are(line, 4)) << line;
  }
  EXPECT_FALSE(std::getline(lines, line));
}

TEST(ModelForward, LensLinesProbeTheHeadRows) {
  REQUIRE_MODEL(tiny, kTiny);
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv e{{"KESTRUNE_LENS", "5,498"}};
  Loaded l = load_quiet(tiny);
  ASSERT_TRUE(l.model);
  DecodeState st = new_state(*l.model);
  ::testing::internal::CaptureStderr();
  auto logits = forward(*l.model, st, 17);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(logits.ok());
  std::istringstream lines(err);
  std::string line, last;
  int n = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(shape(line), "# lens t=9 L9 9=S9.9 9=S9.9") << line;
    EXPECT_TRUE(line.starts_with("# lens t=0 L0" + std::to_string(n++) + " 5=")) << line;
    EXPECT_NE(line.find(" 498="), std::string::npos) << line;
    EXPECT_TRUE(decimals_are(line, 2)) << line;
    last = line;
  }
  EXPECT_EQ(n, 4);
  // After the last layer the probe is the final logit itself.
  EXPECT_EQ(last, "# lens t=0 L03 5=" + fixed_str((*logits)[5], 2, true) + " 498=" + fixed_str((*logits)[498], 2, true));

  // A probe beyond the head fails the forward with the store's message.
  ScopedEnv far{{"KESTRUNE_LENS", "512"}};
  Loaded f = load_quiet(tiny);
  DecodeState s2 = new_state(*f.model);
  ::testing::internal::CaptureStderr();
  auto bad = forward(*f.model, s2, 1);
  ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "row 512 out of range (512)");
}

TEST(ModelForward, AlphaInstrumentCarriesTheHiddenVector) {
  REQUIRE_MODEL(tiny, kTiny);
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  for (const char* alpha : {static_cast<const char*>(nullptr), "1"}) {
    ScopedEnv e{{"KESTRUNE_MTP_ALPHA", alpha}};
    Loaded l = load_quiet(tiny);
    DecodeState st = new_state(*l.model);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(forward(*l.model, st, 3).ok());
    ASSERT_TRUE(forward(*l.model, st, 4).ok());
    // Without a draft head nothing is drafted, so no comparison line appears.
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(st.hidden.size(), alpha ? 256u : 0u);
  }
}

TEST(ModelForward, TokenBeyondTheVocabulary) {
  REQUIRE_MODEL(tiny, kTiny);
  for (const char* mode : {"eager", "lazy"}) {
    ScopedEnv clean{KESTRUNE_CLEAN_ENV};
    ScopedEnv e{{"KESTRUNE_WEIGHTS", mode}};
    Loaded l = load_quiet(tiny);
    DecodeState st = new_state(*l.model);
    auto r = forward(*l.model, st, 512);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "row 512 out of range (512)") << mode;
    EXPECT_EQ(st.position, 0u);
    EXPECT_TRUE(forward(*l.model, st, 511).ok());
  }
}

TEST(ModelForward, ScheduleStateMismatch) {
  REQUIRE_MODEL(tiny, kTiny);
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  Loaded l = load_quiet(tiny);
  {
    DecodeState st = new_state(*l.model);
    st.layers[1].data = KvCache{};  // an attention state where a GDN layer runs
    auto r = forward(*l.model, st, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "layer 1: schedule/state mismatch");
  }
  {
    DecodeState st = new_state(*l.model);
    st.layers.pop_back();  // a state built for a shorter schedule
    auto r = forward(*l.model, st, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "layer 3: schedule/state mismatch");
    EXPECT_EQ(st.position, 0u);
  }
}

TEST(RuntimeOptions, OneWarningNamesEveryIgnoredValue) {
  struct Case {
    ScopedEnv::Vars env;
    std::string want;
  };
  const Case cases[] = {
      {{}, ""},
      {{{"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_THREADS", "4"}, {"KESTRUNE_MTP", "1"}, {"KESTRUNE_CPU_XQUANT", "q8"}},
       ""},
      {{{"KESTRUNE_WEIGHTS", "fast"}}, "# warning: ignored KESTRUNE_WEIGHTS=fast (expected eager or lazy)\n"},
      {{{"KESTRUNE_THREADS", "abc"}, {"KESTRUNE_MTP_DEPTH", "3"}, {"KESTRUNE_XQUANT", "Q8"}},
       "# warning: ignored KESTRUNE_THREADS=abc (expected a whole number of threads, 1 or more), "
       "KESTRUNE_MTP_DEPTH=3 (expected 1 or 2), KESTRUNE_XQUANT=Q8 (expected q8)\n"},
      {{{"KESTRUNE_THREADS", "0"}}, "# warning: ignored KESTRUNE_THREADS=0 (expected a whole number of threads, 1 or more)\n"},
  };
  for (const auto& c : cases) {
    ScopedEnv clean{KESTRUNE_CLEAN_ENV};
    ScopedEnv env(c.env);
    EXPECT_EQ(ignored_options_line(read_runtime_options()), c.want);
  }
}

TEST(RuntimeOptions, ThreadsComeFromTheRequestThenTheEnvironmentThenTheCores) {
  struct Case {
    std::optional<size_t> requested;
    const char* env;
    size_t want;
    std::string source;
  };
  const Case cases[] = {
      {3, "2", 3, "requested"},           {std::nullopt, "2", 2, "KESTRUNE_THREADS"},
      {1000, nullptr, kMaxThreads, "requested"}, {std::nullopt, "abc", available_cores(), "cores available"},
      {std::nullopt, nullptr, available_cores(), "cores available"},
  };
  for (const auto& c : cases) {
    ScopedEnv env{{"KESTRUNE_THREADS", c.env}};
    ThreadChoice t = choose_threads(LoadOptions{c.requested}, read_runtime_options());
    EXPECT_EQ(t.count, c.want);
    EXPECT_EQ(t.source, c.source);
  }
}

}  // namespace
}  // namespace kestrune
