// Per-thread arithmetic of the attention and feed-forward kernels, shared with the host
// tests: the RoPE angle and rotation, the head norm, the softmax step, the output gate
// and the SwiGLU product. Also the operands of the attention kernels.
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
  float* scores = nullptr;      // n_head rows of n_pos
  int head_dim = 0;
  int rope_dim = 0;
  int n_head = 0;
  int n_kv = 0;
  int kv_dim = 0;
  int pos = 0;
  int n_pos = 0;
  float theta = 0;
  float eps = 0;
  float scale = 0;
};

namespace lanes {

// The rotation angle of pair j at `pos`: pos ÷ theta^(2j ÷ rope_dim).
KS_HD float rope_angle(uint32_t pos, int j, int rope_dim, float theta) {
  const float f = powf(theta, (float(j) * 2.0f) / float(rope_dim));
  return float(pos) / f;
}

// Element i of a normalized head vector `v` after RoPE: pairs (j, j + rope_dim/2) turn
// by the angle of j; elements from rope_dim on pass through.
KS_HD float rope_element(const float* v, int i, int rope_dim, float theta, uint32_t pos) {
  if (i >= rope_dim) return v[i];
  const int half = rope_dim / 2;
  const int j = i < half ? i : i - half;
  float s, c;
  sincosf(rope_angle(pos, j, rope_dim, theta), &s, &c);
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
