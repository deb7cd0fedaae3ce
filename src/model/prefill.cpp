#include "model/prefill.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "common/format.h"
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

Result<std::vector<float>> per_token(const Model& m, DecodeState& st, std::span<const uint32_t> tokens,
                                     const BetweenPasses& between) {
  std::vector<float> logits;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0 && between) KS_CHECK(between());
    KS_TRY(logits, forward(m, st, tokens[i]));
  }
  return logits;
}

// log softmax(logits)[token]; a token past the logits has no probability.
Result<double> log_prob(std::span<const float> logits, uint32_t token) {
  if (token >= logits.size()) return invalid_data(format("score: token {} past {} logits", token, logits.size()));
  double top = logits[0];
  for (float l : logits) top = std::max<double>(top, l);
  double sum = 0.0;
  for (float l : logits) sum += std::exp(static_cast<double>(l) - top);
  return static_cast<double>(logits[token]) - top - std::log(sum);
}

}  // namespace

Result<std::vector<double>> score_tokens(const Model& model, DecodeState& state, std::span<const uint32_t> tokens,
                                         size_t chunk, const BetweenPasses& between) {
  std::vector<double> out;
  if (tokens.empty()) return out;
  out.reserve(tokens.size() - 1);
  if (per_token_only(model)) {
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (i > 0 && between) KS_CHECK(between());
      KS_TRY(std::vector<float> logits, forward(model, state, tokens[i]));
      if (i + 1 < tokens.size()) {
        KS_TRY(double lp, log_prob(logits, tokens[i + 1]));
        out.push_back(lp);
      }
    }
    return out;
  }
  chunk = std::max<size_t>(chunk, 1);
  for (size_t s = 0; s < tokens.size(); s += chunk) {
    if (s > 0 && between) KS_CHECK(between());
    const size_t n = std::min(chunk, tokens.size() - s);
    Columns xs(n);
    for (size_t j = 0; j < n; ++j) {
      KS_TRY(xs[j], embed(model, tokens[s + j]));
    }
    KS_TRY(Activations a, upload(model.backend, std::move(xs)));
    KS_CHECK(run_layers(model, state, a));
    state.position += static_cast<uint32_t>(n);
    // One column at a time through the head: a chunk's logits at once would be large.
    KS_TRY(Columns hidden, download(model.backend, std::move(a)));
    for (size_t j = 0; j < n && s + j + 1 < tokens.size(); ++j) {
      KS_TRY(std::vector<float> logits, final_logits(model, hidden[j]));
      KS_TRY(double lp, log_prob(logits, tokens[s + j + 1]));
      out.push_back(lp);
    }
  }
  return out;
}

Result<std::vector<float>> prefill(const Model& model, DecodeState& state, std::span<const uint32_t> tokens,
                                   size_t chunk, const BetweenPasses& between) {
  if (per_token_only(model)) return per_token(model, state, tokens, between);
  chunk = std::max<size_t>(chunk, 1);
  std::vector<float> last;  // residual stream of the last token fed
  for (size_t s = 0; s < tokens.size(); s += chunk) {
    if (s > 0 && between) KS_CHECK(between());
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
    const size_t fed = xs.size();
    if (fed > 0) {
      KS_TRY(Activations a, upload(model.backend, std::move(xs)));
      KS_CHECK(run_layers(model, state, a));
      state.position += static_cast<uint32_t>(fed);
      KS_TRY(last, download_column(model.backend, a, fed - 1));
    }
    if (bad) {
      // Each token before the bad one ended with the head, which can fail too.
      if (s + fed > 0) {
        KS_TRY(std::vector<float> unused, final_logits(model, last));
      }
      return std::move(*bad);
    }
  }
  if (tokens.empty()) return std::vector<float>();
  return final_logits(model, last);
}

}  // namespace kestrune
