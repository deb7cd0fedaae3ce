// Per-thread arithmetic of the attention and feed-forward kernels, shared with the host
// tests: the RoPE rotation, the head norm, the softmax step, the output gate and the
// SwiGLU product. Also the operands of the attention kernels. Each step rounds as on the
// host (no contraction on either side); expf and sincosf are the device's own there,
// within 2 ulp of the host's, which is why the RoPE frequencies (a powf) come from the
// host: an error in them would grow with the position.
#pragma once

#include <math.h>

#include <cstdint>

#include "backend/cuda/lanes.h"

namespace kestrune {

// Operands of the three attention kernels; each reads the fields it needs.
struct AttnOperands {
  const float* qg = nullptr;    // query/gate projection: per head head_dim queries then head_dim gates
  const float* norm = nullptr;  // per-head query or key norm (head_dim)
  float* q_out = nullptr;       // prepared queries (n_head × head_dim)
  const float* k = nullptr;     // key projection (kv_dim)
  const float* v = nullptr;     // value projection (kv_dim)
  float* k_cache = nullptr;     // position-major rows of kv_dim
  float* v_cache = nullptr;
  const float* q = nullptr;     // prepared queries read by the core
  float* out = nullptr;         // gated attention output (n_head × head_dim)
  float* scores = nullptr;      // n_head rows of n_pos; the split kernels' partials
  const float* freqs = nullptr; // rope_dim / 2 RoPE frequencies, computed on the host
  int head_dim = 0;
  int rope_dim = 0;
  int n_head = 0;
  int n_kv = 0;
  int kv_dim = 0;
  int pos = 0;
  int n_pos = 0;
  int n_split = 0;  // position chunks of the split kernels
  float eps = 0;
  float scale = 0;
};

namespace lanes {

// Positions per block of the split attention kernel, and the attended length from
// which the chain uses it (docs/cuda.md).
inline constexpr int kAttnSplitChunk = 256;
inline constexpr int kAttnSplitFrom = 1024;

KS_HD int attn_split_count(int n_pos) { return (n_pos + kAttnSplitChunk - 1) / kAttnSplitChunk; }

// Element i of a normalized head vector `v` after RoPE: pairs (j, j + rope_dim/2) turn
// by pos ÷ freqs[j]; elements from rope_dim on pass through.
KS_HD float rope_element(const float* v, int i, int rope_dim, const float* freqs, uint32_t pos) {
  if (i >= rope_dim) return v[i];
  const int half = rope_dim / 2;
  const int j = i < half ? i : i - half;
  float s, c;
  sincosf(float(pos) / freqs[j], &s, &c);
  const float a = v[j], b = v[j + half];
  return i < half ? c * a - s * b : s * a + c * b;
}

// 1 ÷ √(eps + ss ÷ n): the RMS norm's factor from the sum of squares.
KS_HD float rms_inverse(float ss, int n, float eps) { return 1.0f / sqrtf(eps + ss / float(n)); }

KS_HD float rms_element(float x, float inv, float w) { return (x * inv) * w; }

// One softmax numerator: e^(s - max).
KS_HD float softmax_term(float s, float max) { return expf(s - max); }

// The per-head output gate: o × sigmoid(g).
KS_HD float gate_output(float o, float g) { return o / (1.0f + expf(-g)); }

// SwiGLU of one element: u × silu(g).
KS_HD float swiglu(float g, float u) { return u * (g / (1.0f + expf(-g))); }

}  // namespace lanes
}  // namespace kestrune
