// The per-thread arithmetic of the GDN kernels (one channel of the convolution, the
// gates of one value head, one state column of the delta rule, one element of the gated
// norm) and the operand record the kernels share. The host tests run the same functions
// against the CPU layer.
#pragma once

#include <math.h>

#include "backend/cuda/lanes.h"

namespace kestrune {

// Operands of the GDN kernels; each reads the fields it needs. Column slices are set by
// the caller, so a kernel sees one token.
struct GdnKernelArgs {
  // convolution
  const float* conv_w = nullptr;  // channels × K, oldest tap first
  const float* state_in = nullptr;
  float* state_out = nullptr;
  const float* qkv = nullptr;
  float* conv_out = nullptr;
  int channels = 0;
  int K = 0;
  float q_scale = 0;
  float k_scale = 0;
  // gates
  const float* alpha = nullptr;  // n_v × n
  const float* beta_w = nullptr;  // n_v × n
  const float* xn = nullptr;
  const float* dt_bias = nullptr;
  const float* a = nullptr;
  float* decay = nullptr;
  float* beta = nullptr;
  int n = 0;
  // scan (state_in / state_out are the recurrent state here)
  const float* q = nullptr;
  const float* k = nullptr;
  const float* v = nullptr;
  float* out = nullptr;
  // gated norm
  const float* scan = nullptr;
  const float* z = nullptr;
  const float* norm = nullptr;
  float* gated = nullptr;
  float eps = 0;
  int d = 0;
  int n_k = 0;
  int n_v = 0;
};

namespace lanes {

// Channel c's convolution: the current input first, then the history oldest first.
KS_HD float gdn_conv_acc(const float* w, int K, float x, const float* state, int channels, int c) {
  float acc = w[c * K + K - 1] * x;
  for (int j = 0; j + 1 < K; ++j) acc = acc + w[c * K + j] * state[j * channels + c];
  return acc;
}

KS_HD float gdn_silu(float a) { return a / (1.0f + expf(-a)); }

// Moves channel c's history one slot older and stores the raw input as the newest.
// Reads every slot before writing it, so in and out may be one buffer.
KS_HD void gdn_conv_shift(const float* in, float* out, int K, float x, int channels, int c) {
  for (int j = 0; j + 2 < K; ++j) out[j * channels + c] = in[(j + 1) * channels + c];
  out[(K - 2) * channels + c] = x;
}

// The factor that brings a head to unit RMS (1e-6 on the mean square) times `scale`.
KS_HD float gdn_head_factor(float sumsq, int d, float scale) { return scale / sqrtf(sumsq / float(d) + 1e-6f); }

// Decay and update strength of one value head from its two projections.
KS_HD void gdn_gates(float a_in, float dt_bias, float a, float b_in, float* decay, float* beta) {
  const float u = a_in + dt_bias;
  const float sp = u > 20.0f ? u : logf(1.0f + expf(u));
  *decay = expf(a * sp);
  *beta = 1.0f / (1.0f + expf(-b_in));
}

// Column j of one head's d × d state (row i over key dims): the state is decayed and
// moved toward v along k, then read out with q. in and out may be one buffer.
KS_HD float gdn_scan_column(const float* in, float* out, const float* k, const float* q, float v, float decay,
                            float beta, int d, int j) {
  float e = 0.0f;
  for (int i = 0; i < d; ++i) e = in[i * d + j] * k[i] + e;
  const float delta = v - decay * e;
  float o = 0.0f;
  for (int i = 0; i < d; ++i) {
    const float s = decay * in[i * d + j] + delta * (beta * k[i]);
    out[i * d + j] = s;
    o = s * q[i] + o;
  }
  return o;
}

KS_HD float gdn_norm_inv(float sumsq, int d, float eps) { return 1.0f / sqrtf(sumsq / float(d) + eps); }

KS_HD float gdn_gated(float o, float inv, float w, float z) { return ((inv * o) * w) * (z / (1.0f + expf(-z))); }

}  // namespace lanes
}  // namespace kestrune
