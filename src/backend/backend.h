// The per-layer operation set behind the model, chosen once at load from
// KESTRUNE_BACKEND. Every operation dispatches on the variant's tag.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "backend/cpu/cpu.h"
#include "common/error.h"

namespace kestrune {

// Only the reference backend exists in this build; the device backend joins as a
// second alternative.
using Backend = std::variant<Cpu>;

// Reads KESTRUNE_BACKEND: unset, not UTF-8 or "cpu" selects the reference backend and
// prints its banner; "cuda" and anything else fail.
Result<Backend> select_backend();

// Process-wide layer and state identifiers: 1, 2, 3, ... never reused.
uint64_t next_nonce();

Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, uint64_t nonce,
                  KvCache& kv, std::span<float> x);
Status attn_mixer2(const Backend& b, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, uint64_t nonce,
                   KvCache& kv, std::span<float> x0, std::span<float> x1);
Status attn_mixer3(const Backend& b, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, uint64_t nonce,
                   KvCache& kv, std::span<float> x0, std::span<float> x1, std::span<float> x2);

Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                 std::span<float> x);
Status gdn_mixer2(const Backend& b, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                  std::span<float> x0, std::span<float> x1);
Status gdn_mixer3(const Backend& b, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                  std::span<float> x0, std::span<float> x1, std::span<float> x2);

Status ffn_swiglu(const Backend& b, const FfnTensors& t, float eps, std::span<float> x);
Status ffn_swiglu2(const Backend& b, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1);
Status ffn_swiglu3(const Backend& b, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1,
                   std::span<float> x2);

Status logits_head(const Backend& b, std::span<const float> x, std::span<const float> w_norm, float eps,
                   const TensorView& head, std::span<float> logits);
Status logits_head2(const Backend& b, std::span<const float> x0, std::span<const float> x1,
                    std::span<const float> w_norm, float eps, const TensorView& head, std::span<float> l0,
                    std::span<float> l1);
Status logits_head3(const Backend& b, std::span<const float> x0, std::span<const float> x1,
                    std::span<const float> x2, std::span<const float> w_norm, float eps, const TensorView& head,
                    std::span<float> l0, std::span<float> l1, std::span<float> l2);

// Opens the speculative window; the value says whether the backend keeps speculative
// state (both do).
Result<bool> spec_arm(const Backend& b);
// Depth-1 form: the one draft was accepted or not.
Status spec_resolve(const Backend& b, bool accepted);
// Depth-2 form: 0, 1 or 2 drafts accepted.
Status spec_resolve_depth(const Backend& b, unsigned accepted);

}  // namespace kestrune
