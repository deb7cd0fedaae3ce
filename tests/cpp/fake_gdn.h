// The GDN kernels and the RMS norm on the fake device: each thread's lane function run
// in turn, block sums left to right.
#pragma once

#include <cmath>

#include "backend/cuda/gdn_lanes.h"
#include "backend/cuda/runtime.h"

namespace kestrune::testing {

inline int fake_gdn_launch(const Launch& l, const KernelArgs& ka) {
  if (ka.ext == nullptr) return 1;
  const GdnKernelArgs& a = *static_cast<const GdnKernelArgs*>(ka.ext);
  const int d = a.d;
  switch (l.kernel) {
    case Kernel::GdnConvScaled:
      for (uint32_t head = 0; head < l.grid; ++head) {
        float ss = 0;
        for (int t = 0; t < d; ++t) {
          const int c = int(head) * d + t;
          const float x = a.qkv[c];
          const float y = lanes::gdn_silu(lanes::gdn_conv_acc(a.conv_w, a.K, x, a.state_in, a.channels, c));
          lanes::gdn_conv_shift(a.state_in, a.state_out, a.K, x, a.channels, c);
          a.conv_out[c] = y;
          ss += y * y;
        }
        if (int(head) >= 2 * a.n_k) continue;
        const float f = lanes::gdn_head_factor(ss, d, int(head) < a.n_k ? a.q_scale : a.k_scale);
        for (int t = 0; t < d; ++t) a.conv_out[int(head) * d + t] *= f;
      }
      return 0;
    case Kernel::GdnAbGates:
      for (int h = 0; h < int(l.grid); ++h) {
        float sa = 0, sb = 0;
        for (int i = 0; i < a.n; ++i) {
          sa += a.alpha[size_t(h) * a.n + i] * a.xn[i];
          sb += a.beta_w[size_t(h) * a.n + i] * a.xn[i];
        }
        lanes::gdn_gates(sa, a.dt_bias[h], a.a[h], sb, a.decay + h, a.beta + h);
      }
      return 0;
    case Kernel::GdnScan:
    case Kernel::GdnScanWide:
      for (int h = 0; h < int(l.grid); ++h) {
        const int g = h % a.n_k;
        const size_t base = size_t(h) * d * d;
        for (int j = 0; j < d; ++j) {
          a.out[h * d + j] = lanes::gdn_scan_column(a.state_in + base, a.state_out + base, a.k + g * d, a.q + g * d,
                                                    a.v[h * d + j], a.decay[h], a.beta[h], d, j);
        }
      }
      return 0;
    case Kernel::GatedNormSilu:
      for (int h = 0; h < int(l.grid); ++h) {
        const float* o = a.scan + size_t(h) * d;
        float ss = 0;
        for (int i = 0; i < d; ++i) ss += o[i] * o[i];
        const float inv = lanes::gdn_norm_inv(ss, d, a.eps);
        for (int i = 0; i < d; ++i) {
          a.gated[size_t(h) * d + i] = lanes::gdn_gated(o[i], inv, a.norm[i], a.z[size_t(h) * d + i]);
        }
      }
      return 0;
    default:
      return 98;
  }
}

}  // namespace kestrune::testing
