// Gated softmax attention: per-head output gate carried by the query projection,
// per-head q/k RMS norms, partial half-split RoPE, grouped kv heads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "common/error.h"
#include "config/config.h"
#include "model/binding.h"
#include "model/state.h"

namespace kestrune {

struct AttentionGeometry {
  uint64_t head_dim = 0;
  uint64_t n_head = 0;
  uint64_t n_kv = 0;
  uint64_t rope_dim = 0;
  float rope_base = 0;
  float eps = 0;
};

AttentionGeometry attention_geometry(const ModelConfig& c);

// The tensors of one attention layer as its route binds them.
struct AttnTensors {
  std::span<const float> norm;  // attn_norm
  Matrix q;                     // query heads interleaved with their gates
  Matrix k;
  Matrix v;
  std::span<const float> q_norm;
  std::span<const float> k_norm;
  Matrix out;
  ThreadPool* pool = nullptr;  // from the weight source
};

Result<AttnTensors> bind_attn(const WeightSource& w, uint64_t layer, Route route);

// Rotates the first rope_dim dims of one head vector (pairs j, j + rope_dim/2) to `pos`.
void rope_rotate(std::span<float> y, uint64_t rope_dim, float base, uint32_t pos);

// The mixer's output projection for x at `pos` (hidden floats); appends this position's
// key and value to `kv`. x itself is not changed.
Result<std::vector<float>> attn_output(const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                                       std::span<const float> x);

// attn_output added into x.
Status attn_step(const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv, std::span<float> x);

// attn_output for consecutive tokens: column j at pos + j, each column's key and value
// appended before the next column attends. The products take all columns at once; the
// first error is the one the first column alone would meet.
Result<Columns> attn_outputs(const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                             ColumnsIn xs);

// attn_outputs added into each column.
Status attn_step_cols(const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv, ColumnsOut xs);

}  // namespace kestrune
