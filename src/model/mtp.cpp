#include "model/mtp.h"

#include <string>

#include "backend/backend.h"
#include "model/layers.h"
#include "common/format.h"
#include "numerics/scalar.h"
#include "sampler/sampler.h"

namespace kestrune {

namespace {

Result<const DraftWeights*> draft_weights(const Model& model) {
  if (!model.weights.draft) return invalid_data("model has no draft head");
  return &*model.weights.draft;
}

}  // namespace

Result<std::vector<float>> draft_hidden(const Model& model, std::span<const float> e, std::span<const float> h,
                                        KvCache& cache, uint32_t pos, uint64_t nonce) {
  if (h.size() != e.size()) {
    return invalid_data(format("draft_hidden: hidden vector {} != embedding {}", h.size(), e.size()));
  }
  KS_TRY(const DraftWeights* w, draft_weights(model));
  const float eps = model.config.rms_eps;
  KS_TRY(std::span<const float> enorm, w->enorm);
  KS_TRY(std::span<const float> hnorm, w->hnorm);
  KS_TRY(std::vector<float> c, rms_norm(e, enorm, eps, "draft_hidden"));
  KS_TRY(std::vector<float> hn, rms_norm(h, hnorm, eps, "draft_hidden"));
  c.insert(c.end(), hn.begin(), hn.end());  // embedding half first

  KS_TRY(const Matrix* eh, bound(w->eh_proj));
  KS_TRY(std::vector<float> y, project(model.backend, *eh, c));
  if (y.size() != e.size()) {
    return invalid_data(format("draft_hidden: eh_proj rows {} != hidden {}", y.size(), e.size()));
  }

  const std::span<float> col[1] = {y};
  KS_TRY(const AttnWeights* attn, bound(w->attn));
  KS_CHECK(attn_mixer(model.backend, model.attn, *attn, pos, nonce, cache, col));
  KS_TRY(const FfnWeights* ffn, bound(w->ffn));
  KS_CHECK(ffn_swiglu(model.backend, *ffn, eps, col));
  return y;
}

Result<uint32_t> draft_token(const Model& model, std::span<const float> y) {
  KS_TRY(const DraftWeights* w, draft_weights(model));
  KS_TRY(std::span<const float> norm, w->head_norm);
  KS_TRY(std::vector<float> yn, rms_norm(y, norm, model.config.rms_eps, "draft_token"));
  KS_TRY(Matrix head, head_matrix(model));
  KS_TRY(std::vector<float> logits, project(model.backend, head, yn));
  return argmax(logits);
}

Result<uint32_t> draft_step(const Model& model, DecodeState& state, std::span<const float> e) {
  if (!state.draft_cache) return invalid_data("draft step without a draft KV cache");
  KS_TRY(std::vector<float> y,
         draft_hidden(model, e, state.hidden, *state.draft_cache, state.draft_position, state.nonce));
  state.draft_position += 1;
  return draft_token(model, y);
}

}  // namespace kestrune
