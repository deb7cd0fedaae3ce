#include "model/speculative.h"

#include <algorithm>
#include <string>

#include "backend/backend.h"
#include "common/format.h"
#include "model/forward.h"
#include "model/mtp.h"

namespace kestrune {

namespace {

// The entry checks, in order.
Status check_regime(const Model& m, const char* op) {
  if (!m.has_draft()) return invalid_input(format("{} without a draft head", op));
  if (!m.switches.speculative) return invalid_input(format("{} while the speculative regime is off", op));
  return Ok{};
}

Status arm_window(const Model& m) {
  KS_TRY(bool supported, spec_arm(m.backend));
  if (!supported) return invalid_data("backend has no speculative state support");
  return Ok{};
}

// Without a carried hidden vector there is nothing to draft from.
Result<StepResult> plain_step(const Model& m, uint32_t a, DecodeState& state, Sampler& sampler) {
  KS_TRY(std::vector<float> logits, forward_mtp(m, state, a));
  StepResult r;
  r.next = sample(sampler, logits);
  return r;
}

void truncate_attention(const Model& m, DecodeState& state, uint64_t positions) {
  for (LayerState& ls : state.layers) {
    if (auto* kv = std::get_if<KvCache>(&ls.data)) truncate_kv(*kv, positions, m.attn.kv_width());
  }
}

// The draft-cache entry for an accepted token, computed from the verified hidden vector
// of the column before it; the output is not needed.
Status repair_draft(const Model& m, DecodeState& state, uint32_t token, const std::vector<float>& hidden,
                    uint32_t pos) {
  KS_TRY(std::vector<float> e, embed(m, token));
  KS_CHECK(draft_hidden(m, e, hidden, *state.draft_cache, pos, state.nonce));
  return Ok{};
}

}  // namespace

Result<std::vector<VerifyColumn>> verify(const Model& m, std::span<const uint32_t> tokens, DecodeState& state) {
  Columns x(tokens.size());
  for (size_t c = 0; c < tokens.size(); ++c) {
    KS_TRY(x[c], embed(m, tokens[c]));
  }
  KS_TRY(Activations a, upload(m.backend, std::move(x)));
  KS_CHECK(run_layers(m, state, a));
  // The draft head needs every column's final residual as well as its logits.
  KS_TRY(Columns hidden, download(m.backend, a));
  KS_TRY(Columns logits, head_logits(m, a));
  std::vector<VerifyColumn> out(tokens.size());
  for (size_t c = 0; c < tokens.size(); ++c) {
    out[c].logits = std::move(logits[c]);
    out[c].hidden = std::move(hidden[c]);
  }
  return out;
}

// Depth n drafts d1..dn from the carried hidden vector (draft entries at D .. D+n-1),
// verifies (a, d1..dn), and accepts drafts while they equal the greedy choice. With k
// accepted the caches keep P+k+1 positions, the draft cache keeps a's entry and gets
// one entry per accepted draft computed from the verified hidden vectors.
Result<StepResult> speculative_round(const Model& model, unsigned depth, uint32_t a, DecodeState& state,
                                     Sampler& sampler, const RoundLimits& limits) {
  const char* op = depth == 1 ? "spec_step" : "spec_step2";
  KS_CHECK(check_regime(model, op));
  if (state.hidden.empty()) return plain_step(model, a, state, sampler);
  if (!state.draft_cache) return invalid_data(format("{} without a draft KV", op));
  const uint32_t P = state.position;
  const uint32_t D = state.draft_position;

  std::vector<uint32_t> tokens = {a};
  std::vector<float> h = state.hidden;
  for (unsigned i = 0; i < depth; ++i) {
    KS_TRY(std::vector<float> e, embed(model, tokens.back()));
    KS_TRY(h, draft_hidden(model, e, h, *state.draft_cache, D + i, state.nonce));
    KS_TRY(uint32_t d, draft_token(model, h));
    tokens.push_back(d);
  }

  KS_CHECK(arm_window(model));
  KS_TRY(std::vector<VerifyColumn> cols, verify(model, tokens, state));
  StepResult r;
  r.drafted = true;
  unsigned k = 0;
  uint32_t next = sample(sampler, cols[0].logits);
  auto stops = [&limits](uint32_t t) {
    return std::find(limits.stop.begin(), limits.stop.end(), t) != limits.stop.end();
  };
  while (k < depth && k < limits.keep && next == tokens[k + 1] && !stops(next)) {
    ++k;
    next = sample(sampler, cols[k].logits);
  }
  KS_CHECK(spec_resolve(model.backend, k));
  truncate_attention(model, state, static_cast<uint64_t>(P) + k + 1);
  truncate_kv(*state.draft_cache, static_cast<uint64_t>(D) + 1, model.attn.kv_width());
  for (unsigned i = 1; i <= k; ++i) {
    KS_CHECK(repair_draft(model, state, tokens[i], cols[i - 1].hidden, D + i));
  }
  state.draft_position = D + 1 + k;
  state.hidden = std::move(cols[k].hidden);
  state.position = P + k + 1;
  r.accepted.assign(tokens.begin() + 1, tokens.begin() + 1 + k);
  r.next = next;
  return r;
}

}  // namespace kestrune
