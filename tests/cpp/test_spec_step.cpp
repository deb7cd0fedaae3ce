#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>

#include "spec_support.h"

namespace kestrune {
namespace {

using testing::greedy;
using testing::greedy_run;
using testing::kArmedEnv;
using testing::kv_positions;
using testing::load_with;
using testing::Run;

const char* kRandom = "--preset tiny --seed 1 --draft";
const char* kAgree = "--preset tiny --seed 1 --agree";

// Feeds `tokens` with forward_mtp into a fresh state.
DecodeState fed_state(const Model& m, const std::vector<uint32_t>& tokens) {
  DecodeState st = new_state(m);
  for (uint32_t t : tokens) {
    auto l = forward_mtp(m, st, t);
    EXPECT_TRUE(l.ok()) << l.error().message;
  }
  return st;
}

// Bitwise equality of everything a round leaves in the state, after one common step so
// that pending GDN restores have been applied on both sides.
void expect_same_state(const Model& m, DecodeState& speculative, DecodeState& plain, uint32_t probe,
                       const std::string& what) {
  ASSERT_EQ(speculative.position, plain.position) << what;
  ASSERT_EQ(speculative.draft_position, plain.draft_position) << what;
  EXPECT_EQ(speculative.hidden, plain.hidden) << what;
  auto ls = forward_mtp(m, speculative, probe);
  auto lp = forward_mtp(m, plain, probe);
  ASSERT_TRUE(ls.ok() && lp.ok()) << what;
  EXPECT_EQ(*ls, *lp) << what;
  EXPECT_EQ(speculative.hidden, plain.hidden) << what;
  EXPECT_EQ(speculative.draft_cache->k, plain.draft_cache->k) << what;
  EXPECT_EQ(speculative.draft_cache->v, plain.draft_cache->v) << what;
  for (size_t i = 0; i < speculative.layers.size(); ++i) {
    if (auto* kv = std::get_if<KvCache>(&speculative.layers[i].data)) {
      const auto& pk = std::get<KvCache>(plain.layers[i].data);
      EXPECT_EQ(kv->k, pk.k) << what << " layer " << i;
      EXPECT_EQ(kv->v, pk.v) << what << " layer " << i;
    } else {
      const auto& g = std::get<GdnLayerState>(speculative.layers[i].data);
      const auto& pg = std::get<GdnLayerState>(plain.layers[i].data);
      EXPECT_EQ(g.conv, pg.conv) << what << " layer " << i;
      EXPECT_EQ(g.recurrent, pg.recurrent) << what << " layer " << i;
    }
  }
}

TEST(SpecStep, EntryChecksInOrder) {
  REQUIRE_SPEC_MODEL(draft, kRandom);
  REQUIRE_SPEC_MODEL(plain, "--preset tiny --seed 1");
  auto no_head = load_with(plain, kArmedEnv);
  auto off = load_with(draft, {{"KESTRUNE_WEIGHTS", "lazy"}});
  auto armed = load_with(draft, kArmedEnv);
  ASSERT_TRUE(no_head && off && armed);

  using StepFn = Result<StepResult> (*)(const Model&, uint32_t, DecodeState&, Sampler&);
  const std::pair<const char*, StepFn> steps[] = {{"spec_step", spec_step}, {"spec_step2", spec_step2}};
  for (const auto& [name, step] : steps) {
    const std::string op = name;
    Sampler s = greedy();
    DecodeState a = new_state(*no_head);
    auto r = step(*no_head, 1, a, s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, op + " without a draft head");

    DecodeState b = new_state(*off);
    r = step(*off, 1, b, s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, op + " while the speculative regime is off");

    // A carried hidden vector but no draft cache.
    DecodeState c = fed_state(*armed, {5, 6});
    c.draft_cache.reset();
    r = step(*armed, 7, c, s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, op + " without a draft KV");
  }
}

TEST(SpecStep, WithoutHiddenVectorTakesAPlainStep) {
  REQUIRE_SPEC_MODEL(draft, kRandom);
  auto m = load_with(draft, kArmedEnv);
  ASSERT_TRUE(m);
  DecodeState ref = new_state(*m);
  ASSERT_TRUE(forward_mtp(*m, ref, 5).ok());
  auto after9 = forward_mtp(*m, ref, 9);
  ASSERT_TRUE(after9.ok());
  for (auto step : {spec_step, spec_step2}) {
    // Prefill through forward, which carries no hidden vector here.
    DecodeState st = new_state(*m);
    ASSERT_TRUE(forward(*m, st, 5).ok());
    Sampler s = greedy();
    auto r = step(*m, 9, st, s);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_FALSE(r->drafted);
    EXPECT_TRUE(r->accepted.empty());
    EXPECT_EQ(r->next, argmax(*after9));
    EXPECT_EQ(st.position, 2u);
    EXPECT_EQ(st.draft_position, 0u);  // nothing to draft from when 9 was fed
    EXPECT_EQ(st.hidden, ref.hidden);
  }
}

TEST(SpecStep, VerifyColumnsMatchSingleTokenPasses) {
  REQUIRE_SPEC_MODEL(draft, kRandom);
  // The int8 products too: verification and plain passes read the same head.
  testing::ScopedEnv::Vars int8_env = kArmedEnv;
  int8_env.push_back({"KESTRUNE_CPU_XQUANT", "q8"});
  for (const testing::ScopedEnv::Vars& env : {kArmedEnv, int8_env}) {
    auto m = load_with(draft, env);
    ASSERT_TRUE(m);
    const std::vector<uint32_t> prompt = {3, 14, 15};
    const std::array<uint32_t, 3> cols = {92, 65, 35};

    DecodeState st = fed_state(*m, prompt);
    auto v = verify(*m, cols, st);
    ASSERT_TRUE(v.ok()) << v.error().message;
    EXPECT_EQ(st.position, 3u);  // verify never moves the position
    DecodeState ref = fed_state(*m, prompt);
    for (size_t c = 0; c < 3; ++c) {
      auto l = forward_mtp(*m, ref, cols[c]);
      ASSERT_TRUE(l.ok());
      EXPECT_EQ((*v)[c].logits, *l) << "column " << c;
      EXPECT_EQ((*v)[c].hidden, ref.hidden) << "column " << c;
    }
    for (size_t i = 0; i < st.layers.size(); ++i) {
      if (auto* kv = std::get_if<KvCache>(&st.layers[i].data)) {
        EXPECT_EQ(kv->k, std::get<KvCache>(ref.layers[i].data).k);
        EXPECT_EQ(kv_positions(*m, *kv), 6u);
      }
    }

    DecodeState st2 = fed_state(*m, prompt);
    auto v2 = verify(*m, std::span(cols).first(2), st2);
    ASSERT_TRUE(v2.ok()) << v2.error().message;
    EXPECT_EQ((*v2)[1].logits, (*v)[1].logits);
    EXPECT_EQ((*v2)[1].hidden, (*v)[1].hidden);
  }
}

TEST(SpecStep, TruncateOnlyShortens) {
  struct Case {
    size_t have;
    uint64_t positions;
    size_t want;
  };
  const Case cases[] = {{12, 2, 8}, {8, 2, 8}, {4, 2, 4}, {0, 3, 0}, {12, 0, 0}};
  for (const auto& c : cases) {
    KvCache kv{std::vector<float>(c.have, 1.0f), std::vector<float>(c.have, 2.0f)};
    truncate_kv(kv, c.positions, 4);
    EXPECT_EQ(kv.k.size(), c.want);
    EXPECT_EQ(kv.v.size(), c.want);
  }
}

// How often each outcome showed up over the runs of one depth.
struct Coverage {
  std::map<size_t, int> accepted;  // rounds by number of accepted drafts
  int budget_on_accepted = 0;  // the budget ran out on an accepted draft
};

// The tokens every depth must reproduce, the stop sets and budgets that cut runs at
// every place of a round, and the state a round leaves behind.
void check_greedy_equivalence(const std::string& path, const std::vector<std::vector<uint32_t>>& prompts,
                              const std::vector<uint64_t>& budgets, size_t stops, std::map<int, Coverage>* coverage) {
  auto m = load_with(path, kArmedEnv);
  ASSERT_TRUE(m);
  ASSERT_TRUE(m->switches.speculative);
  const uint64_t longest = *std::max_element(budgets.begin(), budgets.end());
  for (const auto& prompt : prompts) {
    DecodeState ps = new_state(*m);
    const Run plain = greedy_run(*m, ps, prompt, longest, {}, SpecMode::Off);
    ASSERT_EQ(plain.emitted.size(), longest);

    for (SpecMode mode : {SpecMode::Depth1, SpecMode::Depth2}) {
      const int depth = mode == SpecMode::Depth1 ? 1 : 2;
      Coverage& cov = (*coverage)[depth];
      for (uint64_t budget : budgets) {
        const std::string what = path + " depth " + std::to_string(depth) + " budget " + std::to_string(budget) +
                                 " prompt " + std::to_string(prompt[0]);
        DecodeState st = new_state(*m);
        const Run r = greedy_run(*m, st, prompt, budget, {}, mode);
        const std::vector<uint32_t> want(plain.emitted.begin(), plain.emitted.begin() + budget);
        ASSERT_EQ(r.emitted, want) << what;
        EXPECT_EQ(r.report.rounds, r.rounds.size()) << what;
        // Where each produced token came from: -1 for a round's next token, else its
        // index in an accepted list (paired with the list's size).
        std::vector<std::pair<int, size_t>> origin = {{-1, 0}};
        for (const auto& round : r.rounds) {
          cov.accepted[round.accepted.size()] += 1;
          for (size_t i = 0; i < round.accepted.size(); ++i) origin.push_back({static_cast<int>(i), round.accepted.size()});
          origin.push_back({-1, 0});
        }
        if (budget > 0) {
          const auto [index, size] = origin[r.emitted.size() - 1];
          if (index >= 0) cov.budget_on_accepted += 1;
        }

        // As in plain decoding, the state holds the prompt and exactly the emitted
        // tokens, so that a following chat turn continues from the same place.
        ASSERT_EQ(st.position, prompt.size() + r.emitted.size()) << what;
        if (budget > 1) {
          std::vector<uint32_t> tokens = prompt;
          tokens.insert(tokens.end(), r.emitted.begin(), r.emitted.end());
          DecodeState ref = fed_state(*m, tokens);
          expect_same_state(*m, st, ref, 7, what);
        }
      }
      // Stop tokens taken from the greedy sequence land before, inside and after the
      // accepted lists.
      for (size_t k = 0; k < std::min<size_t>(longest, stops); ++k) {
        const uint32_t stop = plain.emitted[k];
        std::vector<uint32_t> want;
        for (uint32_t t : plain.emitted) {
          if (t == stop) break;
          want.push_back(t);
        }
        if (want.size() > longest) want.resize(longest);
        DecodeState st = new_state(*m);
        const Run r = greedy_run(*m, st, prompt, longest, {stop}, mode);
        ASSERT_EQ(r.emitted, want) << path << " depth " << depth << " stop " << stop;
        // The stop token is neither accepted nor fed.
        EXPECT_EQ(st.position, prompt.size() + want.size()) << path << " depth " << depth << " stop " << stop;
        for (const auto& round : r.rounds) {
          EXPECT_EQ(std::count(round.accepted.begin(), round.accepted.end(), stop), 0);
        }
      }
    }
  }
}

TEST(SpecDecode, RandomDraftHeadsEmitGreedyTokens) {
  const char* models[] = {kRandom, "--preset tiny --seed 2 --draft --interval 2",
                          "--preset tiny --seed 3 --draft --types q4k-mix --untied --layers 3 --interval 3"};
  for (const char* args : models) {
    REQUIRE_SPEC_MODEL(path, args);
    std::map<int, Coverage> cov;
    check_greedy_equivalence(path, {{1}, {300, 17, 42, 5}}, {0, 1, 3, 8}, 6, &cov);
    // Random drafts are almost always wrong: the rejection branches run.
    EXPECT_GT(cov[1].accepted[0], 0) << args;
    EXPECT_GT(cov[2].accepted[0], 0) << args;
  }
}

TEST(SpecDecode, AgreeingDraftHeadTakesEveryBranch) {
  std::map<int, Coverage> cov;
  for (const char* args : {kAgree, "--preset tiny --seed 4 --agree --agree-miss 0.5 --types f32 --interval 2"}) {
    REQUIRE_SPEC_MODEL(path, args);
    check_greedy_equivalence(path, {{72}, {101, 32, 200, 9}}, {0, 1, 2, 3, 4, 5, 8, 13, 21}, 10, &cov);
  }
  for (int depth : {1, 2}) {
    const Coverage& c = cov[depth];
    EXPECT_GT(c.accepted.at(0), 0) << "depth " << depth;
    EXPECT_GT(c.accepted.at(1), 0) << "depth " << depth;
    EXPECT_GT(c.budget_on_accepted, 0) << "depth " << depth;
  }
  EXPECT_EQ(cov[1].accepted.count(2), 0u);
  EXPECT_GT(cov[2].accepted[2], 0);
}

}  // namespace
}  // namespace kestrune
