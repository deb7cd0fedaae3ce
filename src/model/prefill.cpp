#include "model/prefill.h"

#include <algorithm>
#include <optional>

#include "common/runtime_options.h"
#include "model/forward.h"

namespace kestrune {

namespace {

// Diagnostics that report every token, and speculation, which keeps every token's
// hidden vector, need the per-token pass; so does the forced scalar reference (the
// plain path to compare against).
bool per_token_only(const Model& m) {
  const ModelSwitches& sw = m.switches;
  return sw.trace || sw.alpha || !sw.lens.empty() || sw.speculative || reference_forced();
}

Result<std::vector<float>> per_token(const Model& m, DecodeState& st, std::span<const uint32_t> tokens) {
  std::vector<float> logits;
  for (uint32_t t : tokens) {
    KS_TRY(logits, forward(m, st, t));
  }
  return logits;
}

}  // namespace

Result<std::vector<float>> prefill(const Model& model, DecodeState& state, std::span<const uint32_t> tokens,
                                   size_t chunk) {
  if (per_token_only(model)) return per_token(model, state, tokens);
  chunk = std::max<size_t>(chunk, 1);
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
      KS_CHECK(run_layers(model, state, column_spans_mut(xs)));
      state.position += static_cast<uint32_t>(xs.size());
      last = std::move(xs.back());
    }
    if (bad) {
      // Each token before the bad one ended with the head, which can fail too.
      if (s + xs.size() > 0) {
        KS_TRY(std::vector<float> unused, final_logits(model, last));
      }
      return std::move(*bad);
    }
  }
  if (tokens.empty()) return std::vector<float>();
  return final_logits(model, last);
}

}  // namespace kestrune
