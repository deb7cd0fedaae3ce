#include "model/spec_step.h"

#include <string>

#include "backend/backend.h"
#include "backend/cpu/ffn.h"
#include "common/format.h"
#include "model/attn.h"
#include "model/binding.h"
#include "model/gdn.h"
#include "model/mtp.h"

namespace kestrune {

namespace {

template <size_t N>
using Columns = std::array<std::vector<float>, N>;

template <size_t N>
Status attn_columns(const Model& m, const AttnTensors& t, uint32_t pos, LayerState& ls, KvCache& kv,
                    Columns<N>& x) {
  if constexpr (N == 2) {
    return attn_mixer2(m.backend, m.attn, t, pos, ls.nonce, kv, x[0], x[1]);
  } else {
    return attn_mixer3(m.backend, m.attn, t, pos, ls.nonce, kv, x[0], x[1], x[2]);
  }
}

template <size_t N>
Status gdn_columns(const Model& m, const GdnTensors& t, LayerState& ls, GdnLayerState& st, Columns<N>& x) {
  if constexpr (N == 2) {
    return gdn_mixer2(m.backend, m.gdn, t, ls.nonce, st, x[0], x[1]);
  } else {
    return gdn_mixer3(m.backend, m.gdn, t, ls.nonce, st, x[0], x[1], x[2]);
  }
}

template <size_t N>
Status ffn_columns(const Model& m, const FfnTensors& t, Columns<N>& x) {
  if constexpr (N == 2) {
    return ffn_swiglu2(m.backend, t, m.config.rms_eps, x[0], x[1]);
  } else {
    return ffn_swiglu3(m.backend, t, m.config.rms_eps, x[0], x[1], x[2]);
  }
}

template <size_t N>
Status head_columns(const Model& m, std::span<const float> w_norm, const TensorView& head, const Columns<N>& x,
                    std::array<VerifyColumn, N>& out) {
  const float eps = m.config.rms_eps;
  if constexpr (N == 2) {
    return logits_head2(m.backend, x[0], x[1], w_norm, eps, head, out[0].logits, out[1].logits);
  } else {
    return logits_head3(m.backend, x[0], x[1], x[2], w_norm, eps, head, out[0].logits, out[1].logits,
                        out[2].logits);
  }
}

template <size_t N>
Result<std::array<VerifyColumn, N>> verify_columns(const Model& m, const std::array<uint32_t, N>& tokens,
                                                   DecodeState& state) {
  Columns<N> x;
  for (size_t c = 0; c < N; ++c) {
    KS_TRY(x[c], embed(m, tokens[c]));
  }
  const WeightSource ws{m.file.get(), &m.cache, m.pool.get()};
  const auto& kinds = m.config.layer_kinds;
  for (uint64_t i = 0; i < kinds.size(); ++i) {
    LayerState* ls = i < state.layers.size() ? &state.layers[i] : nullptr;
    const bool attention = kinds[i] == LayerKind::Attention;
    if (!ls || std::holds_alternative<KvCache>(ls->data) != attention) {
      return invalid_data(format("layer {}: schedule/state mismatch", i));
    }
    if (auto* kv = std::get_if<KvCache>(&ls->data)) {
      KS_TRY(AttnTensors t, bind_attn(ws, i, Route::Streamed));
      KS_CHECK(attn_columns<N>(m, t, state.position, *ls, *kv, x));
    } else {
      KS_TRY(GdnTensors t, bind_gdn(ws, i, Route::Streamed, m.gdn));
      KS_CHECK(gdn_columns<N>(m, t, *ls, std::get<GdnLayerState>(ls->data), x));
    }
    KS_TRY(FfnTensors f, bind_ffn(ws, i, Route::Streamed));
    KS_CHECK(ffn_columns<N>(m, f, x));
  }

  KS_TRY(std::span<const float> w_norm, bind_vector(ws, "output_norm.weight"));
  KS_TRY(TensorView head, tensor_view(*m.file, m.head_name));
  std::array<VerifyColumn, N> out;
  for (auto& col : out) col.logits.assign(static_cast<size_t>(m.head_rows), 0.0f);
  KS_CHECK(head_columns<N>(m, w_norm, head, x, out));
  for (size_t c = 0; c < N; ++c) out[c].hidden = std::move(x[c]);
  return out;
}

// The entry checks shared by both depths, in order.
Status check_regime(const Model& m, const char* op) {
  if (!m.has_draft) return invalid_input(format("{} without a draft head", op));
  if (!m.speculative) return invalid_input(format("{} while the speculative regime is off", op));
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

uint64_t kv_width(const Model& m) { return m.attn.n_kv * m.attn.head_dim; }

void truncate_attention(const Model& m, DecodeState& state, uint64_t positions) {
  for (LayerState& ls : state.layers) {
    if (auto* kv = std::get_if<KvCache>(&ls.data)) truncate_kv(*kv, positions, kv_width(m));
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

void truncate_kv(KvCache& kv, uint64_t positions, uint64_t kv_width) {
  const uint64_t n = positions * kv_width;
  if (kv.k.size() > n) kv.k.resize(static_cast<size_t>(n));
  if (kv.v.size() > n) kv.v.resize(static_cast<size_t>(n));
}

Result<std::array<VerifyColumn, 2>> verify2(const Model& model, uint32_t a, uint32_t d1, DecodeState& state) {
  return verify_columns<2>(model, {a, d1}, state);
}

Result<std::array<VerifyColumn, 3>> verify3(const Model& model, uint32_t a, uint32_t d1, uint32_t d2,
                                            DecodeState& state) {
  return verify_columns<3>(model, {a, d1, d2}, state);
}

Result<StepResult> spec_step(const Model& model, uint32_t a, DecodeState& state, Sampler& sampler) {
  KS_CHECK(check_regime(model, "spec_step"));
  if (state.hidden.empty()) return plain_step(model, a, state, sampler);
  if (!state.draft_cache) return invalid_data("spec_step without a draft KV");
  const uint32_t P = state.position;

  KS_TRY(std::vector<float> e, embed(model, a));
  KS_TRY(uint32_t d1, draft_step(model, state, e));
  const uint32_t D = state.draft_position;  // already advanced past a's entry

  KS_CHECK(arm_window(model));
  KS_TRY(auto cols, verify2(model, a, d1, state));
  StepResult r;
  r.drafted = true;
  const uint32_t t = sample(sampler, cols[0].logits);
  if (t == d1) {
    KS_CHECK(spec_resolve(model.backend, true));
    KS_CHECK(repair_draft(model, state, d1, cols[0].hidden, D));
    state.draft_position = D + 1;
    state.hidden = std::move(cols[1].hidden);
    state.position = P + 2;
    r.accepted = {d1};
    r.next = sample(sampler, cols[1].logits);
    return r;
  }
  KS_CHECK(spec_resolve(model.backend, false));
  // The draft cache keeps a's entry; only the main caches drop the rejected column.
  truncate_attention(model, state, static_cast<uint64_t>(P) + 1);
  state.hidden = std::move(cols[0].hidden);
  state.position = P + 1;
  r.next = t;
  return r;
}

Result<StepResult> spec_step2(const Model& model, uint32_t a, DecodeState& state, Sampler& sampler) {
  KS_CHECK(check_regime(model, "spec_step2"));
  if (state.hidden.empty()) return plain_step(model, a, state, sampler);
  if (!state.draft_cache) return invalid_data("spec_step2 without a draft KV");
  const uint32_t P = state.position;
  const uint32_t D = state.draft_position;
  KvCache& draft = *state.draft_cache;

  KS_TRY(std::vector<float> ea, embed(model, a));
  KS_TRY(std::vector<float> h1, draft_hidden(model, ea, state.hidden, draft, D, state.nonce));
  KS_TRY(uint32_t d1, draft_token(model, h1));
  KS_TRY(std::vector<float> e1, embed(model, d1));
  KS_TRY(std::vector<float> h2, draft_hidden(model, e1, h1, draft, D + 1, state.nonce));
  KS_TRY(uint32_t d2, draft_token(model, h2));

  KS_CHECK(arm_window(model));
  KS_TRY(auto cols, verify3(model, a, d1, d2, state));
  StepResult r;
  r.drafted = true;
  const uint64_t Pw = P;
  const uint64_t Dw = D;

  const uint32_t l = sample(sampler, cols[0].logits);
  if (l != d1) {
    KS_CHECK(spec_resolve_depth(model.backend, 0));
    truncate_attention(model, state, Pw + 1);
    truncate_kv(draft, Dw + 1, kv_width(model));
    state.draft_position = D + 1;
    state.hidden = std::move(cols[0].hidden);
    state.position = P + 1;
    r.next = l;
    return r;
  }
  const uint32_t w = sample(sampler, cols[1].logits);
  if (w != d2) {
    KS_CHECK(spec_resolve_depth(model.backend, 1));
    truncate_attention(model, state, Pw + 2);
    truncate_kv(draft, Dw + 1, kv_width(model));
    KS_CHECK(repair_draft(model, state, d1, cols[0].hidden, D + 1));
    state.draft_position = D + 2;
    state.hidden = std::move(cols[1].hidden);
    state.position = P + 2;
    r.accepted = {d1};
    r.next = w;
    return r;
  }
  KS_CHECK(spec_resolve_depth(model.backend, 2));
  truncate_kv(draft, Dw + 1, kv_width(model));
  KS_CHECK(repair_draft(model, state, d1, cols[0].hidden, D + 1));
  KS_CHECK(repair_draft(model, state, d2, cols[1].hidden, D + 2));
  state.draft_position = D + 3;
  state.hidden = std::move(cols[2].hidden);
  state.position = P + 3;
  r.accepted = {d1, d2};
  r.next = sample(sampler, cols[2].logits);
  return r;
}

}  // namespace kestrune
