#include "model/mtp.h"

#include <string>

#include "backend/backend.h"
#include "backend/cpu/ffn.h"
#include "common/diag.h"
#include "common/format.h"
#include "model/attn.h"
#include "model/binding.h"

namespace kestrune {

namespace {

std::string draft_prefix(const Model& model) { return format("blk.{}.", model.draft_layer); }

}  // namespace

Result<std::vector<float>> draft_hidden(const Model& model, std::span<const float> e, std::span<const float> h,
                                        KvCache& cache, uint32_t pos, uint64_t nonce) {
  if (h.size() != e.size()) {
    return invalid_data(format("draft_hidden: hidden vector {} != embedding {}", h.size(), e.size()));
  }
  const WeightSource ws{model.file.get(), &model.cache, model.pool.get()};
  const std::string p = draft_prefix(model);
  const float eps = model.config.rms_eps;
  KS_TRY(std::span<const float> enorm, bind_vector(ws, p + "nextn.enorm.weight"));
  KS_TRY(std::span<const float> hnorm, bind_vector(ws, p + "nextn.hnorm.weight"));
  KS_TRY(std::vector<float> c, rms_norm(e, enorm, eps, "draft_hidden"));
  KS_TRY(std::vector<float> hn, rms_norm(h, hnorm, eps, "draft_hidden"));
  c.insert(c.end(), hn.begin(), hn.end());  // embedding half first

  KS_TRY(Matrix eh, bind_matrix(ws, p + "nextn.eh_proj.weight", Route::Cached));
  KS_TRY(std::vector<float> y, matvec(eh, c));
  if (y.size() != e.size()) {
    return invalid_data(format("draft_hidden: eh_proj rows {} != hidden {}", y.size(), e.size()));
  }

  // The block always streams its layer tensors through the backend.
  KS_TRY(AttnTensors attn, bind_attn(ws, model.draft_layer, Route::Streamed));
  KS_CHECK(attn_mixer(model.backend, model.attn, attn, pos, nonce, cache, y));
  KS_TRY(FfnTensors ffn, bind_ffn(ws, model.draft_layer, Route::Streamed));
  KS_CHECK(ffn_swiglu(model.backend, ffn, eps, y));
  return y;
}

uint32_t draft_argmax(std::span<const float> logits) {
  uint32_t best = 0;
  for (size_t i = 1; i < logits.size(); ++i) {
    if (logits[i] > logits[best]) best = static_cast<uint32_t>(i);
  }
  return best;
}

Result<uint32_t> draft_token(const Model& model, std::span<const float> y) {
  const WeightSource ws{model.file.get(), &model.cache, model.pool.get()};
  KS_TRY(std::span<const float> w, bind_vector(ws, draft_prefix(model) + "nextn.shared_head_norm.weight"));
  KS_TRY(std::vector<float> yn, rms_norm(y, w, model.config.rms_eps, "draft_token"));
  KS_TRY(Matrix head, bind_matrix(ws, model.head_name, Route::Cached));
  KS_TRY(std::vector<float> logits, matvec(head, yn));
  return draft_argmax(logits);
}

Result<uint32_t> draft_step(const Model& model, DecodeState& state, std::span<const float> e) {
  if (!state.draft_cache) return invalid_data("draft step without a draft KV cache");
  KS_TRY(std::vector<float> y,
         draft_hidden(model, e, state.hidden, *state.draft_cache, state.draft_position, state.nonce));
  state.draft_position += 1;
  return draft_token(model, y);
}

Result<std::vector<float>> forward_mtp(const Model& model, DecodeState& state, uint32_t token) {
  KS_TRY(std::vector<float> x, embed(model, token));
  if (model.trace) diag(format("# trace t={} embed |x|={}\n", state.position, fixed_str(l2_norm(x), 4)));
  if (model.has_draft && state.draft_cache && !state.hidden.empty()) {
    // Only the cache entry matters here; the draft token is not needed.
    KS_CHECK(draft_hidden(model, x, state.hidden, *state.draft_cache, state.draft_position, state.nonce));
    state.draft_position += 1;
  }
  KS_TRY(ForwardPass pass, forward_layers(model, state, std::move(x)));
  state.hidden = std::move(pass.hidden);
  return std::move(pass.logits);
}

}  // namespace kestrune
