#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <regex>

#include "numerics/scalar.h"
#include "sampler/sampler.h"
#include "spec_support.h"

namespace kestrune {
namespace {

using testing::kv_positions;
using testing::load_with;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

TEST(DraftArgmax, FirstMaximumWinsAndNaNNeverReplaces) {
  struct Case {
    const char* name;
    std::vector<float> logits;
    uint32_t want;
  };
  std::vector<float> ties(12, 0.0f);
  ties[5] = ties[9] = 3.0f;
  const Case cases[] = {
      {"equal maxima at 5 and 9", ties, 5},
      {"later strictly larger", {1, 2, 3, 2.5f}, 2},
      {"NaN in the middle is skipped", {1, kNaN, 0.5f, 2}, 3},
      {"NaN at index 0 stays", {kNaN, 5, 7}, 0},
      {"all negative infinity", {-kInf, -kInf}, 0},
      {"infinity beats numbers", {1, kInf, 1e30f}, 1},
      {"single entry", {-4}, 0},
      {"empty", {}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(argmax(c.logits), c.want) << c.name;
}

struct AlphaLine {
  uint32_t t, draft, actual;
  std::string label;
  uint64_t hits, total;
  std::string pct;
};

std::optional<AlphaLine> parse_alpha(const std::string& s) {
  static const std::regex re(R"(^# mtp t=(\d+) draft=(\d+) actual=(\d+) (HIT |miss) alpha=(\d+)/(\d+) \((\d+\.\d)%\)\n$)");
  std::smatch m;
  if (!std::regex_match(s, m, re)) return std::nullopt;
  return AlphaLine{static_cast<uint32_t>(std::stoul(m[1])), static_cast<uint32_t>(std::stoul(m[2])),
                   static_cast<uint32_t>(std::stoul(m[3])), m[4], std::stoull(m[5]), std::stoull(m[6]), m[7]};
}

TEST(AlphaInstrument, OneLinePerForwardFromTheThird) {
  REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 1 --agree");
  for (const char* weights : {"eager", "lazy"}) {
    auto m = load_with(path, {{"KESTRUNE_MTP_ALPHA", "1"}, {"KESTRUNE_WEIGHTS", weights}});
    ASSERT_TRUE(m);
    ASSERT_TRUE(m->switches.alpha);
    DecodeState st = new_state(*m);
    // Feed the model's own greedy continuation so that drafts hit and miss.
    uint32_t tok = 72;
    uint64_t hits = 0, total = 0;
    std::optional<uint32_t> drafted;
    for (uint32_t i = 0; i < 24; ++i) {
      ::testing::internal::CaptureStderr();
      auto logits = forward(*m, st, tok);
      const std::string err = ::testing::internal::GetCapturedStderr();
      ASSERT_TRUE(logits.ok()) << logits.error().message;
      if (i < 2) {
        EXPECT_EQ(err, "") << weights << " forward " << i;
      } else {
        auto line = parse_alpha(err);
        ASSERT_TRUE(line) << weights << ": " << err;
        ASSERT_TRUE(drafted);
        const bool hit = *drafted == tok;
        total += 1;
        hits += hit;
        EXPECT_EQ(line->t, i);
        EXPECT_EQ(line->draft, *drafted);
        EXPECT_EQ(line->actual, tok);
        EXPECT_EQ(line->label, hit ? "HIT " : "miss");
        EXPECT_EQ(line->hits, hits);
        EXPECT_EQ(line->total, total);
        char pct[32];
        std::snprintf(pct, sizeof pct, "%.1f", static_cast<double>(static_cast<float>(hits) * 100.0f / static_cast<float>(total)));
        EXPECT_EQ(line->pct, pct);
      }
      // From the second forward on, each call drafts the token fed next.
      EXPECT_EQ(st.alpha_pending, i >= 1);
      EXPECT_EQ(st.draft_position, i);
      EXPECT_EQ(kv_positions(*m, *st.draft_cache), i);
      if (st.alpha_pending) drafted = st.alpha_draft;
      tok = argmax(*logits);
    }
    EXPECT_GT(hits, 0u) << weights;
    EXPECT_LT(hits, total) << weights;
  }
}

TEST(ForwardMtp, KeepsTheDraftHeadInStep) {
  REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 2 --draft");
  auto m = load_with(path, {{"KESTRUNE_WEIGHTS", "lazy"}});
  auto alpha = load_with(path, {{"KESTRUNE_WEIGHTS", "lazy"}, {"KESTRUNE_MTP_ALPHA", "1"}});
  ASSERT_TRUE(m && alpha);
  const std::vector<uint32_t> tokens = {9, 400, 23, 23, 180};
  DecodeState mtp = new_state(*m), plain = new_state(*m), instrumented = new_state(*alpha);
  for (size_t i = 0; i < tokens.size(); ++i) {
    auto a = forward_mtp(*m, mtp, tokens[i]);
    auto b = forward(*m, plain, tokens[i]);
    ::testing::internal::CaptureStderr();
    auto c = forward(*alpha, instrumented, tokens[i]);
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    EXPECT_EQ(*a, *b) << "step " << i;  // the draft head never touches the logits
    EXPECT_EQ(mtp.position, i + 1);
    EXPECT_EQ(mtp.draft_position, i);
    EXPECT_EQ(kv_positions(*m, *mtp.draft_cache), i);
    // The instrument runs the same draft steps on the same inputs.
    EXPECT_EQ(mtp.hidden, instrumented.hidden) << "step " << i;
    EXPECT_EQ(mtp.draft_cache->k, instrumented.draft_cache->k) << "step " << i;
    EXPECT_EQ(mtp.draft_cache->v, instrumented.draft_cache->v) << "step " << i;
  }
  EXPECT_TRUE(plain.hidden.empty());
  EXPECT_EQ(plain.draft_position, 0u);
  EXPECT_EQ(mtp.hidden.size(), m->config.embedding_length);

  // The instrument's draft token is draft_token of draft_hidden on the carried state.
  DecodeState probe = mtp;
  KvCache cache = *probe.draft_cache;
  auto e = embed(*m, 77);
  ASSERT_TRUE(e.ok());
  auto y = draft_hidden(*m, *e, probe.hidden, cache, probe.draft_position, probe.nonce);
  ASSERT_TRUE(y.ok()) << y.error().message;
  auto d = draft_token(*m, *y);
  ASSERT_TRUE(d.ok());
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(forward(*alpha, instrumented, 77).ok());
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(instrumented.alpha_draft, *d);
}

TEST(DraftHidden, Errors) {
  REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 2 --draft");
  auto m = load_with(path, {});
  ASSERT_TRUE(m);
  const std::vector<float> e(256, 1.0f), h(128, 1.0f);
  KvCache cache;
  auto r = draft_hidden(*m, e, h, cache, 0, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "draft_hidden: hidden vector 128 != embedding 256");

  // The draft cache must hold exactly `pos` blocks.
  const std::vector<float> h2(256, 1.0f);
  r = draft_hidden(*m, e, h2, cache, 3, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "attn_mixer: kv cache length inconsistent with pos");
}

}  // namespace
}  // namespace kestrune
