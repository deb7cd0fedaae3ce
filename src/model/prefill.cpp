#include "model/prefill.h"

#include <algorithm>
#include <optional>

#include "backend/cpu/matmul.h"
#include "backend/cpu/spec_window.h"
#include "common/format.h"

namespace kestrune {

namespace {

// Diagnostics that report every token, and speculation, which keeps every token's
// hidden vector, need the per-token pass; so does any backend but the reference, and
// the forced scalar reference (the plain path to compare against).
bool per_token_only(const Model& m) {
  return m.trace || m.alpha || !m.lens.empty() || m.speculative || !std::holds_alternative<Cpu>(m.backend) ||
         reference_forced();
}

Result<std::vector<float>> per_token(const Model& m, DecodeState& st, std::span<const uint32_t> tokens) {
  std::vector<float> logits;
  for (uint32_t t : tokens) {
    KS_TRY(logits, forward(m, st, t));
  }
  return logits;
}

bool state_matches(const LayerState& ls, LayerKind kind) {
  return std::holds_alternative<KvCache>(ls.data) == (kind == LayerKind::Attention);
}

// Every main layer over the columns, column j at state.position + j. The route is
// forward's with the trace off: streamed for lazy weights, cached otherwise.
Status run_layers(const Model& m, const WeightSource& ws, DecodeState& st, Columns& xs) {
  const Route route = m.lazy ? Route::Streamed : Route::Cached;
  const Cpu& cpu = std::get<Cpu>(m.backend);
  const auto cols = column_spans_mut(xs);
  const auto& kinds = m.config.layer_kinds;
  for (uint64_t i = 0; i < kinds.size(); ++i) {
    if (i >= st.layers.size() || !state_matches(st.layers[i], kinds[i])) {
      return invalid_data(format("layer {}: schedule/state mismatch", i));
    }
    LayerState& ls = st.layers[i];
    if (auto* kv = std::get_if<KvCache>(&ls.data)) {
      KS_TRY(AttnTensors t, bind_attn(ws, i, route));
      KS_CHECK(attn_step_cols(m.attn, t, st.position, *kv, cols));
    } else {
      KS_TRY(GdnTensors t, bind_gdn(ws, i, route, m.gdn));
      auto& gs = std::get<GdnLayerState>(ls.data);
      GdnStepHook hook;
      // The backend's GDN operation keeps its speculative bookkeeping per token. With the
      // window closed only the first call can do anything (apply a pending restore), so
      // the recurrence may then run all tokens at once.
      if (route == Route::Streamed) {
        hook = [&] { return spec_before_gdn_step(*cpu.window, ls.nonce, gs, true); };
        if (!spec_window_armed(*cpu.window)) {
          KS_CHECK(hook());
          hook = nullptr;
        }
      }
      KS_CHECK(gdn_apply_cols(m.gdn, t, gs, cols, hook));
    }
    KS_TRY(FfnTensors f, bind_ffn(ws, i, route));
    KS_CHECK(ffn_apply_cols(f, m.config.rms_eps, cols));
  }
  return {};
}

// forward's closing step: final norm and the head product.
Result<std::vector<float>> head_logits(const Model& m, const WeightSource& ws, std::span<const float> x) {
  KS_TRY(std::span<const float> w_norm, bind_vector(ws, "output_norm.weight"));
  KS_TRY(std::vector<float> xn, rms_norm(x, w_norm, m.config.rms_eps, "output_norm"));
  KS_TRY(Matrix head, bind_matrix(ws, m.head_name, Route::Cached));
  return matvec(head, xn, ws.pool);
}

}  // namespace

Result<std::vector<float>> prefill(const Model& model, DecodeState& state, std::span<const uint32_t> tokens,
                                   size_t chunk) {
  if (per_token_only(model)) return per_token(model, state, tokens);
  chunk = std::max<size_t>(chunk, 1);
  const WeightSource ws{model.file.get(), &model.cache, model.pool.get()};
  std::vector<float> last;  // residual stream of the last token fed
  for (size_t s = 0; s < tokens.size(); s += chunk) {
    const size_t n = std::min(chunk, tokens.size() - s);
    Columns xs;
    xs.reserve(n);
    std::optional<Error> bad;
    for (size_t j = 0; j < n && !bad; ++j) {
      auto x = embed(model, tokens[s + j]);
      if (x.ok()) {
        xs.push_back(std::move(x).value());
      } else {
        bad = std::move(x).error();
      }
    }
    if (!xs.empty()) {
      KS_CHECK(run_layers(model, ws, state, xs));
      state.position += static_cast<uint32_t>(xs.size());
      last = std::move(xs.back());
    }
    if (bad) {
      // Each token before the bad one ended with the head, which can fail too.
      if (s + xs.size() > 0) {
        KS_TRY(std::vector<float> unused, head_logits(model, ws, last));
      }
      return std::move(*bad);
    }
  }
  if (tokens.empty()) return std::vector<float>();
  return head_logits(model, ws, last);
}

}  // namespace kestrune
