#include "model/forward.h"

#include <optional>
#include <string>

#include "backend/backend.h"
#include "common/diag.h"
#include "common/format.h"
#include "model/layers.h"
#include "model/mtp.h"
#include "numerics/scalar.h"

namespace kestrune {

namespace {

std::string norm_str(std::span<const float> v) { return fixed_str(l2_norm(v), 4); }

bool state_matches(const LayerState& ls, LayerKind kind) {
  return std::holds_alternative<KvCache>(ls.data) == (kind == LayerKind::Attention);
}

// "# lens t={} L{:02} id=logit ...": each probe's head row against the normed stream.
Status lens_line(const Model& m, const TensorView& head, std::span<const float> out_norm, uint32_t pos,
                 uint64_t layer, std::span<const float> x) {
  KS_TRY(std::vector<float> xn, rms_norm(x, out_norm, m.config.rms_eps, "lens"));
  std::string line = format("# lens t={} L{}", pos, padded_str(layer, 2));
  for (uint32_t id : m.switches.lens) {
    KS_TRY(std::vector<float> row, weight_row(head, id));
    line += format(" {}={}", id, fixed_str(dot(row, xn), 2, true));
  }
  diag(line + "\n");
  return {};
}

}  // namespace

Result<std::vector<float>> embed(const Model& model, uint32_t token) {
  auto it = model.weights.cache.find("token_embd.weight");
  if (it != model.weights.cache.end()) {
    const CachedTensor& t = it->second;
    const uint64_t hidden = t.dims[0];  // the cache holds no tensor without a row length
    const uint64_t rows = t.data.size() / hidden;
    if (token >= rows) return invalid_data(format("row {} out of range ({})", token, rows));
    const float* row = t.data.data() + token * hidden;
    return std::vector<float>(row, row + hidden);
  }
  KS_TRY(const TensorView* view, bound(model.weights.embed_view));
  return weight_row(*view, token);
}

Status run_layers(const Model& m, std::span<const PassPart> parts, Activations& x) {
  const ModelSwitches& sw = m.switches;
  const uint32_t pos = parts.empty() ? 0 : parts[0].state->position;
  const bool per_layer_lines = parts.size() == 1 && x.k == 1 && (sw.trace || !sw.lens.empty());
  std::span<const float> out_norm;
  std::optional<TensorView> head;
  if (per_layer_lines && !sw.lens.empty()) {
    KS_TRY(out_norm, m.weights.output_norm);
    KS_TRY(head, m.weights.head_view);
  }

  const auto& kinds = m.config.layer_kinds;
  std::vector<AttnPart> attn_parts(parts.size());
  std::vector<GdnPart> gdn_parts(parts.size());
  for (uint64_t i = 0; i < kinds.size(); ++i) {
    for (size_t s = 0; s < parts.size(); ++s) {
      DecodeState& state = *parts[s].state;
      if (i >= state.layers.size() || !state_matches(state.layers[i], kinds[i])) {
        return invalid_data(format("layer {}: schedule/state mismatch", i));
      }
      LayerState& ls = state.layers[i];
      if (auto* kv = std::get_if<KvCache>(&ls.data)) {
        attn_parts[s] = {kv, ls.nonce, state.position, parts[s].columns};
      } else {
        gdn_parts[s] = {&std::get<GdnLayerState>(ls.data), ls.nonce, parts[s].columns};
      }
    }
    const LayerWeights& lw = m.weights.layers[i];
    float mix = 0, ffn = 0;
    float* mix_norm = per_layer_lines && sw.trace ? &mix : nullptr;
    float* ffn_norm = per_layer_lines && sw.trace ? &ffn : nullptr;
    KS_TRY(const MixerWeights* mixer, bound(lw.mixer));
    if (kinds[i] == LayerKind::Attention) {
      KS_CHECK(attention_layer(m.backend, m.attn, std::get<AttnWeights>(*mixer), attn_parts, x, x, mix_norm));
    } else {
      KS_CHECK(gdn_layer(m.backend, m.gdn, std::get<GdnWeights>(*mixer), gdn_parts, x, x, mix_norm));
    }
    KS_TRY(const FfnWeights* f, bound(lw.ffn));
    KS_CHECK(ffn_layer(m.backend, *f, m.config.rms_eps, x, x, ffn_norm));
    if (!per_layer_lines) continue;
    KS_TRY(std::vector<float> host, download_column(m.backend, x, 0));
    if (sw.trace) {
      diag(format("# trace t={} L{} {} |mix|={} |ffn|={} |x|={}\n", pos, padded_str(i, 2),
                  kinds[i] == LayerKind::Attention ? "attn" : "gdn ", fixed_str(mix, 4), fixed_str(ffn, 4),
                  norm_str(host)));
    }
    if (!sw.lens.empty()) KS_CHECK(lens_line(m, *head, out_norm, pos, i, host));
  }
  return {};
}

Status run_layers(const Model& m, DecodeState& state, Activations& x) {
  const PassPart part{&state, x.k};
  return run_layers(m, std::span<const PassPart>(&part, 1), x);
}

Result<Columns> head_logits(const Model& m, const Activations& x) {
  KS_TRY(std::span<const float> w_norm, m.weights.output_norm);
  KS_TRY(Matrix head, head_matrix(m));
  return logits_head(m.backend, w_norm, head, m.config.rms_eps, x);
}

Result<std::vector<float>> final_logits(const Model& m, std::span<const float> x) {
  Columns in(1);
  in[0].assign(x.begin(), x.end());
  KS_TRY(Activations a, upload(m.backend, std::move(in)));
  KS_TRY(Columns logits, head_logits(m, a));
  return std::move(logits[0]);
}

Result<ForwardPass> forward_layers(const Model& model, DecodeState& state, std::vector<float> x, bool keep_hidden) {
  // One upload of the embedding and one download of the logits, and of the final
  // residual when the caller keeps it.
  Columns in(1);
  in[0] = std::move(x);
  KS_TRY(Activations a, upload(model.backend, std::move(in)));
  KS_CHECK(run_layers(model, state, a));
  state.position += 1;
  ForwardPass pass;
  if (keep_hidden) {
    KS_TRY(pass.hidden, download_column(model.backend, a, 0));
  }
  KS_TRY(Columns logits, head_logits(model, a));
  pass.logits = std::move(logits[0]);
  return pass;
}

Result<std::vector<float>> forward(const Model& model, DecodeState& state, uint32_t token) {
  KS_TRY(std::vector<float> x, embed(model, token));
  const ModelSwitches& sw = model.switches;
  const uint32_t pos = state.position;
  if (sw.trace) diag(format("# trace t={} embed |x|={}\n", pos, norm_str(x)));

  if (sw.alpha) {
    if (state.alpha_pending) {
      state.alpha_total += 1;
      const bool hit = state.alpha_draft == token;
      if (hit) state.alpha_hits += 1;
      const float pct = static_cast<float>(state.alpha_hits) * 100.0f / static_cast<float>(state.alpha_total);
      diag(format("# mtp t={} draft={} actual={} {} alpha={}/{} ({}%)\n", pos, state.alpha_draft, token,
                  hit ? "HIT " : "miss", state.alpha_hits, state.alpha_total, fixed_str(pct, 1)));
      state.alpha_pending = false;
    }
    // The draft made while feeding this token predicts the token fed next.
    if (model.has_draft() && !state.hidden.empty()) {
      KS_TRY(uint32_t drafted, draft_step(model, state, x));
      state.alpha_draft = drafted;
      state.alpha_pending = true;
    }
  }

  KS_TRY(ForwardPass pass, forward_layers(model, state, std::move(x), sw.alpha));
  if (sw.alpha) state.hidden = std::move(pass.hidden);
  return std::move(pass.logits);
}

Result<std::vector<float>> forward_mtp(const Model& model, DecodeState& state, uint32_t token) {
  KS_TRY(std::vector<float> x, embed(model, token));
  if (model.switches.trace) diag(format("# trace t={} embed |x|={}\n", state.position, fixed_str(l2_norm(x), 4)));
  if (model.has_draft() && state.draft_cache && !state.hidden.empty()) {
    // Only the cache entry matters here; the draft token is not needed.
    KS_CHECK(draft_hidden(model, x, state.hidden, *state.draft_cache, state.draft_position, state.nonce));
    state.draft_position += 1;
  }
  KS_TRY(ForwardPass pass, forward_layers(model, state, std::move(x), true));
  state.hidden = std::move(pass.hidden);
  return std::move(pass.logits);
}

}  // namespace kestrune
