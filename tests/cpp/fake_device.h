// A device in host memory for the CUDA backend's host logic: allocations are malloc'd,
// copies are memcpy, and each kernel launch is computed on the host from the same lane
// functions the device kernels use (summed in double: the kernels' order is theirs).
// Failures are injected per call kind.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/lanes.h"
#include "backend/cuda/runtime.h"
#include "fake_gdn.h"

namespace kestrune::testing {

struct FakeDevice {
  int fail_malloc_at = -1;  // the n-th device or pinned allocation (0-based) fails with status 2
  int fail_copy_at = -1;    // the n-th copy fails with status 700
  int mallocs = 0, copies = 0, frees = 0, launches = 0;
  int to_device = 0, to_host = 0;  // copies by direction
  long live = 0;  // allocations not yet freed
  std::vector<Launch> launched;
};

inline FakeDevice& fake() {
  static FakeDevice f;
  return f;
}

namespace fake_detail {

inline int alloc(void** p, size_t bytes) {
  if (fake().mallocs++ == fake().fail_malloc_at) return 2;
  *p = std::malloc(bytes ? bytes : 1);
  ++fake().live;
  return 0;
}
inline int release(void* p) {
  std::free(p);
  ++fake().frees;
  --fake().live;
  return 0;
}
inline int copy(void* dst, const void* src, size_t bytes, CopyKind kind) {
  if (fake().copies++ == fake().fail_copy_at) return 700;
  fake().to_device += kind == CopyKind::HostToDevice;
  fake().to_host += kind == CopyKind::DeviceToHost;
  std::memcpy(dst, src, bytes);
  return 0;
}
inline const char* text(int status) {
  return status == 2     ? "out of memory"
         : status == 700 ? "an illegal memory access was encountered"
                         : "invalid device function";
}

// Row r · column x of a K-quant weight through the lane decoders.
template <class Fmt>
double kquant_dot(const uint8_t* w, int cols, int r, const float* x) {
  const int nsb = cols / lanes::kSuper;
  const uint8_t* row = w + size_t(r) * nsb * Fmt::kBytes;
  double s = 0;
  for (int sb = 0; sb < nsb; ++sb) {
    for (int lane = 0; lane < lanes::kWarp; ++lane) {
      float va[4], vb[4];
      Fmt::values(row + size_t(sb) * Fmt::kBytes, lane, va, vb);
      const lanes::Runs runs = Fmt::runs(lane);
      for (int t = 0; t < 4; ++t) {
        s += double(va[t]) * x[sb * 256 + runs.a + t] + double(vb[t]) * x[sb * 256 + runs.b + t];
      }
    }
  }
  return s;
}

inline double row_dot(DeviceFormat f, const void* wv, int cols, int r, const float* x) {
  const auto* w = static_cast<const uint8_t*>(wv);
  switch (f) {
    case DeviceFormat::Q8_0: {
      double s = 0;
      const uint8_t* row = w + size_t(r) * (cols / 32) * lanes::kQ8Bytes;
      for (int b = 0; b < cols / 32; ++b) {
        for (int l = 0; l < 32; ++l) s += double(lanes::q8_0_value(row + b * lanes::kQ8Bytes, l)) * x[32 * b + l];
      }
      return s;
    }
    case DeviceFormat::Q4_K:
      return kquant_dot<lanes::FmtQ4K>(w, cols, r, x);
    case DeviceFormat::Q5_K:
      return kquant_dot<lanes::FmtQ5K>(w, cols, r, x);
    case DeviceFormat::Q6_K:
      return kquant_dot<lanes::FmtQ6K>(w, cols, r, x);
  }
  return 0;
}

// One head of the attention kernels: norm, then RoPE into dst.
inline void norm_rope_head(const float* src, const float* w, float* dst, const AttnOperands& o) {
  double ss = 0;
  for (int i = 0; i < o.head_dim; ++i) ss += double(src[i]) * src[i];
  const float inv = lanes::rms_inverse(float(ss), o.head_dim, o.eps);
  std::vector<float> h(o.head_dim);
  for (int i = 0; i < o.head_dim; ++i) h[i] = lanes::rms_element(src[i], inv, w[i]);
  for (int i = 0; i < o.head_dim; ++i) dst[i] = lanes::rope_element(h.data(), i, o.rope_dim, o.freqs, uint32_t(o.pos));
}

inline void attention(const Launch& l, const AttnOperands& o) {
  const int hd = o.head_dim;
  for (uint32_t h = 0; h < l.grid; ++h) {
    if (l.kernel == Kernel::AttnQPrep) norm_rope_head(o.qg + 2 * h * hd, o.norm, o.q_out + h * hd, o);
    if (l.kernel == Kernel::AttnKvAppend) {
      const size_t at = size_t(o.pos) * o.kv_dim + h * hd;
      norm_rope_head(o.k + h * hd, o.norm, o.k_cache + at, o);
      std::memcpy(o.v_cache + at, o.v + h * hd, 4 * size_t(hd));
    }
    // The split kernel's result is the core's; its partials are not modelled.
    if (l.kernel != Kernel::AttnCore && l.kernel != Kernel::AttnSplit) continue;
    const size_t col = size_t(h / (o.n_head / o.n_kv)) * hd;
    float* sc = o.scores + h * o.n_pos;
    float m = -INFINITY;
    for (int t = 0; t < o.n_pos; ++t) {
      double s = 0;
      for (int i = 0; i < hd; ++i) s += double(o.q[h * hd + i]) * o.k_cache[size_t(t) * o.kv_dim + col + i];
      sc[t] = o.scale * float(s);
      m = std::fmax(m, sc[t]);
    }
    double sum = 0;
    for (int t = 0; t < o.n_pos; ++t) sum += sc[t] = lanes::softmax_term(sc[t], m);
    for (int i = 0; i < hd; ++i) {
      double acc = 0;
      for (int t = 0; t < o.n_pos; ++t) acc += sc[t] / sum * o.v_cache[size_t(t) * o.kv_dim + col + i];
      o.out[h * hd + i] = lanes::gate_output(float(acc), o.qg[2 * h * hd + hd + i]);
    }
  }
}

inline int launch(const Launch& l, const KernelArgs& a) {
  fake().launched.push_back(l);
  ++fake().launches;
  const int cols = a.cols;
  auto product = [&](DeviceFormat f, const void* w, int rows, int columns, float* y, bool acc) {
    for (int c = 0; c < columns; ++c) {
      for (int r = 0; r < rows; ++r) {
        const float s = float(row_dot(f, w, cols, r, a.x + size_t(c) * cols));
        y[size_t(c) * rows + r] = acc ? y[size_t(c) * rows + r] + s : s;
      }
    }
  };
  switch (l.kernel) {
    case Kernel::MatvecQ8_0:
    case Kernel::MvWide:
    case Kernel::MvSplit4:
      product(l.fmt0, a.w0, a.rows, 1, a.y0, l.accumulate);
      break;
    case Kernel::MvWideN2:
    case Kernel::MvSplit4N2:
      product(l.fmt0, a.w0, a.rows, 2, a.y0, false);
      break;
    case Kernel::MvWideN3:
    case Kernel::MvSplit4N3:
      product(l.fmt0, a.w0, a.rows, 3, a.y0, false);
      break;
    case Kernel::MvDualWide:
      product(l.fmt0, a.w0, a.rows, 1, a.y0, false);
      product(l.fmt1, a.w1, a.rows, 1, a.y1, false);
      break;
    case Kernel::MvDual2Wide:
      product(l.fmt0, a.w0, a.rows, 1, a.y0, false);
      product(l.fmt1, a.w1, a.rows1, 1, a.y1, false);
      break;
    case Kernel::QuantizeXQ8:
      for (int b = 0; b < a.n; b += 32) {
        float amax = 0;
        for (int i = b; i < b + 32 && i < a.n; ++i) amax = std::fmax(amax, std::fabs(a.x[i]));
        for (int i = b; i < b + 32 && i < a.n; ++i) a.xq[i] = lanes::quantize_q8(a.x[i], amax);
        a.xs[b / 32] = lanes::q8_block_scale(amax);
      }
      break;
    case Kernel::MvWideX8:
    case Kernel::MvSplit2X8:
    case Kernel::MvSplit4X8:
      for (int r = 0; r < a.rows; ++r) {
        const auto* row = static_cast<const uint8_t*>(a.w0) + size_t(r) * (cols / 256) * 144;
        double s = 0;
        for (int sb = 0; sb < cols / 256; ++sb) {
          for (int lane = 0; lane < 32; ++lane) s += lanes::q4k_x8_lane(row + sb * 144, lane, a.xq + sb * 256, a.xs + sb * 8);
        }
        a.y0[r] = float(s);
      }
      break;
    case Kernel::AddInplace:
      for (int i = 0; i < a.n; ++i) a.y0[i] = a.x[i] + a.y0[i];
      break;
    case Kernel::RmsNorm: {
      double ss = 0;
      for (int i = 0; i < a.n; ++i) ss += double(a.x[i]) * a.x[i];
      const float inv = lanes::rms_inverse(float(ss), a.n, a.eps);
      for (int i = 0; i < a.n; ++i) a.y0[i] = lanes::rms_element(a.x[i], inv, a.w[i]);
      break;
    }
    case Kernel::SiluMul:
      for (int i = 0; i < a.n; ++i) a.y0[i] = lanes::swiglu(a.y0[i], a.x[i]);
      break;
    case Kernel::AttnQPrep:
    case Kernel::AttnKvAppend:
    case Kernel::AttnCore:
    case Kernel::AttnSplit:
      attention(l, *static_cast<const AttnOperands*>(a.ext));
      break;
    case Kernel::AttnCombine:
      break;
    case Kernel::GdnConvScaled:
    case Kernel::GdnAbGates:
    case Kernel::GdnScan:
    case Kernel::GdnScanWide:
    case Kernel::GatedNormSilu:
      return fake_gdn_launch(l, a);
    default:
      return 98;  // kernels the host tests never launch
  }
  return 0;
}

}  // namespace fake_detail

// A fresh fake (counters and injections reset) and its call table.
inline const DeviceApi& fake_api() {
  fake() = FakeDevice{};
  static const DeviceApi api{fake_detail::alloc, fake_detail::release, fake_detail::alloc, fake_detail::release,
                             fake_detail::copy,  fake_detail::launch,  fake_detail::text, nullptr};
  return api;
}

}  // namespace kestrune::testing
