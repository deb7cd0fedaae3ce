// The tensors of one layer, bound once at load: small vectors as dense cached floats,
// projections as a dense copy or a tensor left in the mapping.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

using Matrix = std::variant<const CachedTensor*, TensorView>;

// Rows the product of `m` yields.
inline uint64_t matrix_rows(const Matrix& m) {
  if (const auto* dense = std::get_if<const CachedTensor*>(&m)) {
    const auto& ct = **dense;
    return ct.dims.empty() || ct.dims[0] == 0 ? 0 : ct.data.size() / ct.dims[0];
  }
  const TensorInfo& t = *std::get<TensorView>(m).info;
  return t.dims.size() >= 2 ? t.dims[1] : 1;
}

struct AttnWeights {
  std::span<const float> norm;  // attn_norm
  Matrix q;                     // query heads interleaved with their gates
  Matrix k;
  Matrix v;
  std::span<const float> q_norm;
  std::span<const float> k_norm;
  Matrix out;
};

struct GdnWeights {
  std::span<const float> norm;  // attn_norm
  Matrix qkv;
  const CachedTensor* conv = nullptr;  // ssm_conv1d, K taps per channel
  Matrix alpha;
  Matrix beta;
  std::span<const float> a;         // ssm_a
  std::span<const float> dt_bias;   // ssm_dt.bias
  Matrix gate;                      // attn_gate (z)
  std::span<const float> out_norm;  // ssm_norm
  Matrix out;                       // ssm_out
};

struct FfnWeights {
  std::span<const float> norm;  // post_attention_norm
  Matrix gate;
  Matrix up;
  Matrix down;
};

// The final norm and the streamed head tensor of the multi-column logits.
struct HeadWeights {
  std::span<const float> norm;
  TensorView head;
};

}  // namespace kestrune
