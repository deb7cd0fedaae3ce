// The tensors of one layer, bound once at load: small vectors as dense cached floats,
// projections as a dense copy or a tensor left in the mapping.
#pragma once

#include <span>
#include <variant>

#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

using Matrix = std::variant<const CachedTensor*, TensorView>;

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
