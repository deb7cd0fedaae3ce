#include <gtest/gtest.h>

#include "backend/backend.h"
#include "spec_support.h"

namespace kestrune {
namespace {

using testing::greedy;
using testing::kArmedEnv;
using testing::kv_positions;
using testing::load_with;
using testing::ScopedEnv;

GdnSnapshot snap(float v) { return {std::vector<float>(3, v), std::vector<float>(4, v)}; }

GdnLayerState layer(float v) { return {std::vector<float>(3, v), std::vector<float>(4, v)}; }

// Arms a window and records snapshots valued 10, 11, ... for layer 1 (two columns) and
// 20 for layer 2 (one column), as a three-column pass and a shorter list would.
void fill_window(CpuSpecState& w) {
  spec_arm_cpu(w);
  GdnLayerState first = layer(0);
  ASSERT_TRUE(spec_before_gdn_step(w, 1, first, false).ok());
  const GdnLayerState ten = layer(10);
  spec_snapshot_conv(w, 1, ten.conv);
  spec_snapshot_recurrent(w, 1, 0, ten.recurrent);
  GdnLayerState second = layer(11), other = layer(20);
  ASSERT_TRUE(spec_before_gdn_step(w, 1, second, true).ok());
  ASSERT_TRUE(spec_before_gdn_step(w, 2, other, true).ok());
}

TEST(SpecWindow, ResolveKeepsTheStateAfterTheAcceptedColumns) {
  struct Case {
    const char* name;
    unsigned accepted;
    std::optional<float> layer1;  // value of the pending restore, if any
    std::optional<float> layer2;
  };
  const Case cases[] = {
      {"none accepted", 0, 10, 20},
      {"one accepted", 1, 11, std::nullopt},
      {"both accepted", 2, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    Backend b{make_cpu(1)};
    CpuSpecState& bw = *std::get<Cpu>(b).window;
    fill_window(bw);
    ASSERT_EQ(bw.snapshots[1].size(), 2u) << c.name;
    Status st = spec_resolve(b, c.accepted);
    ASSERT_TRUE(st.ok()) << c.name << ": " << st.error().message;
    EXPECT_FALSE(bw.armed) << c.name;
    EXPECT_TRUE(bw.snapshots.empty()) << c.name;
    for (auto [nonce, want] : {std::pair{1ull, c.layer1}, std::pair{2ull, c.layer2}}) {
      auto it = bw.pending.find(nonce);
      ASSERT_EQ(it != bw.pending.end(), want.has_value()) << c.name << " layer " << nonce;
      if (want) {
        EXPECT_EQ(it->second.recurrent, snap(*want).recurrent) << c.name;
      }
    }
  }
}

TEST(SpecWindow, ResolveNeedsAnArmedWindow) {
  Backend b{make_cpu(1)};
  for (unsigned accepted : {0u, 1u}) {
    auto resolve = [&] { return spec_resolve(b, accepted); };
    Status never = resolve();
    ASSERT_FALSE(never.ok());
    EXPECT_EQ(never.error().message, "spec_resolve without an armed window");
    auto armed = spec_arm(b);
    ASSERT_TRUE(armed.ok());
    EXPECT_TRUE(*armed);
    EXPECT_TRUE(resolve().ok());
    Status twice = resolve();
    ASSERT_FALSE(twice.ok());
    EXPECT_EQ(twice.error().message, "spec_resolve without an armed window");
  }
  ASSERT_TRUE(spec_arm(b).ok());
  Status deep = spec_resolve(b, 3);
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().message, "spec_resolve_depth: depth beyond 2");
}

TEST(SpecWindow, PendingRestoreIsAppliedOnceBeforeTheNextStep) {
  CpuSpecState w;
  w.pending[7] = snap(3);
  w.pending[7] = snap(5);  // a later rejection replaces the older restore
  GdnLayerState st = layer(9);
  ASSERT_TRUE(spec_before_gdn_step(w, 7, st, true).ok());
  EXPECT_EQ(st.conv, snap(5).conv);
  EXPECT_EQ(st.recurrent, snap(5).recurrent);
  EXPECT_TRUE(w.pending.empty());
  EXPECT_TRUE(w.snapshots.empty());  // no window open: nothing recorded

  st = layer(9);
  ASSERT_TRUE(spec_before_gdn_step(w, 7, st, true).ok());
  EXPECT_EQ(st.conv, layer(9).conv);  // applied only once

  w.pending[8] = {std::vector<float>(2, 1.0f), std::vector<float>(4, 1.0f)};
  GdnLayerState other = layer(9);
  Status bad = spec_before_gdn_step(w, 8, other, false);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "gdn_mixer: pending snapshot does not fit the layer state");
}

TEST(SpecWindow, ArmingDropsSnapshotsOfAnUnresolvedWindow) {
  CpuSpecState w;
  fill_window(w);
  spec_arm_cpu(w);
  GdnLayerState st = layer(30);
  ASSERT_TRUE(spec_before_gdn_step(w, 1, st, true).ok());
  ASSERT_TRUE(spec_resolve_cpu(w, 0u).ok());
  ASSERT_EQ(w.pending.count(1), 1u);
  EXPECT_EQ(w.pending[1].conv, snap(30).conv);
}

// Runs rounds from a prompt until `pick` accepts a round's result. The state of the
// sequence before that round is rebuilt by feeding its tokens one at a time into a
// fresh state (fresh nonces, so the backend's restores of the real state stay put).
struct Found {
  std::vector<uint32_t> fed;  // every token in the caches before the round
  uint32_t token = 0;         // the round's input
  StepResult result;
  uint32_t position_before = 0;
  uint32_t draft_position_before = 0;
  DecodeState after;
};

DecodeState fed_state(const Model& m, const std::vector<uint32_t>& tokens) {
  DecodeState st = new_state(m);
  for (uint32_t t : tokens) EXPECT_TRUE(forward_mtp(m, st, t).ok());
  return st;
}

template <class Step, class Pick>
std::optional<Found> find_round(const Model& m, Step step, const std::vector<uint32_t>& prompt, Pick pick) {
  DecodeState st = new_state(m);
  std::vector<float> logits;
  for (uint32_t t : prompt) {
    auto l = forward_mtp(m, st, t);
    if (!l.ok()) return std::nullopt;
    logits = std::move(l).value();
  }
  std::vector<uint32_t> fed = prompt;
  uint32_t tok = argmax(logits);
  Sampler s = greedy();
  for (int i = 0; i < 64; ++i) {
    const uint32_t pos = st.position, dpos = st.draft_position;
    auto r = step(m, tok, st, s);
    EXPECT_TRUE(r.ok()) << r.error().message;
    if (!r.ok()) return std::nullopt;
    if (pick(*r)) return Found{fed, tok, *r, pos, dpos, std::move(st)};
    fed.push_back(tok);
    fed.insert(fed.end(), r->accepted.begin(), r->accepted.end());
    tok = r->next;
  }
  return std::nullopt;
}

// The rolled-back layers must restart from the state a plain pass reaches after the
// accepted columns: compare the pending restores with a state fed column by column.
// Returns that state.
DecodeState expect_rolled_back_to(const Model& m, const Found& f, const std::vector<uint32_t>& columns,
                                  const std::string& what) {
  const uint32_t P = f.position_before;
  EXPECT_EQ(f.after.position, P + columns.size()) << what;
  std::vector<uint32_t> tokens = f.fed;
  tokens.insert(tokens.end(), columns.begin(), columns.end());
  DecodeState ref = fed_state(m, tokens);
  const CpuSpecState& w = *std::get<Cpu>(m.backend).window;
  EXPECT_FALSE(w.armed) << what;
  for (size_t i = 0; i < f.after.layers.size(); ++i) {
    const LayerState& ls = f.after.layers[i];
    if (auto* kv = std::get_if<KvCache>(&ls.data)) {
      EXPECT_EQ(kv_positions(m, *kv), P + columns.size()) << what << " layer " << i;
      EXPECT_EQ(kv->k, std::get<KvCache>(ref.layers[i].data).k) << what << " layer " << i;
      continue;
    }
    auto it = w.pending.find(ls.nonce);
    if (it == w.pending.end()) {
      ADD_FAILURE() << what << ": no pending restore for layer " << i;
      continue;
    }
    const auto& want = std::get<GdnLayerState>(ref.layers[i].data);
    EXPECT_EQ(it->second.conv, want.conv) << what << " layer " << i;
    EXPECT_EQ(it->second.recurrent, want.recurrent) << what << " layer " << i;
  }
  EXPECT_EQ(f.after.hidden, ref.hidden) << what;
  return ref;
}

TEST(SpecWindow, RejectionAtDepthTwoRestartsFromColumnZero) {
  REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 1 --draft");
  auto m = load_with(path, kArmedEnv);
  ASSERT_TRUE(m);
  auto f = find_round(*m, spec_step2, {3, 1, 4, 1, 5},
                      [](const StepResult& r) { return r.drafted && r.accepted.empty(); });
  ASSERT_TRUE(f) << "no rejected round";
  DecodeState ref = expect_rolled_back_to(*m, *f, {f->token}, "depth 2 rejected");
  EXPECT_EQ(f->after.draft_position, f->draft_position_before + 1);
  EXPECT_EQ(kv_positions(*m, *f->after.draft_cache), f->draft_position_before + 1u);

  // The next GDN step starts from the restored state: it agrees with a state that never
  // saw the rejected columns.
  DecodeState speculative = std::move(f->after);
  auto ls = forward_mtp(*m, speculative, f->result.next);
  auto lr = forward_mtp(*m, ref, f->result.next);
  ASSERT_TRUE(ls.ok() && lr.ok());
  EXPECT_EQ(*ls, *lr);
  EXPECT_TRUE(std::get<Cpu>(m->backend).window->pending.empty());
  for (size_t i = 0; i < speculative.layers.size(); ++i) {
    if (auto* g = std::get_if<GdnLayerState>(&speculative.layers[i].data)) {
      EXPECT_EQ(g->conv, std::get<GdnLayerState>(ref.layers[i].data).conv) << "layer " << i;
      EXPECT_EQ(g->recurrent, std::get<GdnLayerState>(ref.layers[i].data).recurrent) << "layer " << i;
    }
  }
}

TEST(SpecWindow, PartialAcceptAtDepthTwoRestartsFromColumnOne) {
  REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 1 --agree");
  auto m = load_with(path, kArmedEnv);
  ASSERT_TRUE(m);
  auto f = find_round(*m, spec_step2, {72, 101}, [](const StepResult& r) { return r.accepted.size() == 1; });
  ASSERT_TRUE(f) << "no round accepted exactly one draft";
  expect_rolled_back_to(*m, *f, {f->token, f->result.accepted[0]}, "depth 2 one accepted");
  EXPECT_EQ(f->after.draft_position, f->draft_position_before + 2);
  EXPECT_EQ(kv_positions(*m, *f->after.draft_cache), f->draft_position_before + 2u);
}

TEST(SpecWindow, DepthOneRejectionAndAcceptance) {
  REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 1 --agree");
  auto m = load_with(path, kArmedEnv);
  ASSERT_TRUE(m);
  auto rejected = find_round(*m, spec_step, {72, 101}, [](const StepResult& r) { return r.drafted && r.accepted.empty(); });
  ASSERT_TRUE(rejected);
  expect_rolled_back_to(*m, *rejected, {rejected->token}, "depth 1 rejected");
  // The draft cache keeps the entry for the fed token.
  EXPECT_EQ(kv_positions(*m, *rejected->after.draft_cache), rejected->draft_position_before + 1u);

  auto accepted = find_round(*m, spec_step, {72, 101}, [](const StepResult& r) { return r.accepted.size() == 1; });
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->after.position, accepted->position_before + 2);
  EXPECT_EQ(kv_positions(*m, *accepted->after.draft_cache), accepted->draft_position_before + 2u);
  // Nothing to restore for this sequence (the first search left restores of its own).
  for (const LayerState& ls : accepted->after.layers) {
    EXPECT_EQ(std::get<Cpu>(m->backend).window->pending.count(ls.nonce), 0u);
  }
}

TEST(SpecRegime, OffWithoutADraftHead) {
  REQUIRE_SPEC_MODEL(plain, "--preset tiny --seed 1");
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv env(kArmedEnv);
  ::testing::internal::CaptureStderr();
  auto m = load_model(plain);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(m.ok());
  EXPECT_FALSE((*m)->switches.speculative);
  EXPECT_NE(err.find("# mtp speculative: off\n"), std::string::npos) << err;
}

}  // namespace
}  // namespace kestrune
