// The GDN kernels: convolution with the query/key scaling, the decay and strength
// gates, the delta-rule scan (one thread per state column, or the wide form for head
// size 128) and the gated output norm.
#include "backend/cuda/gdn_lanes.h"
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

// Sum of one value per thread of a 256-thread block, by a shared-memory tree; every
// thread gets the total.
__device__ __forceinline__ float block_sum256(float v, float* sh) {
  const int t = int(threadIdx.x);
  sh[t] = v;
  __syncthreads();
  for (int s = 128; s > 0; s >>= 1) {
    if (t < s) sh[t] = sh[t] + sh[t + s];
    __syncthreads();
  }
  const float total = sh[0];
  __syncthreads();
  return total;
}

// Block b owns channels b·d .. b·d + d − 1 (one head of q, k or v).
__global__ void __launch_bounds__(256) gdn_conv_scaled_kernel(GdnKernelArgs a) {
  __shared__ float sh[256];
  const int d = a.d, head = int(blockIdx.x);
  float ss = 0.0f;
  for (int t = int(threadIdx.x); t < d; t += 256) {
    const int c = head * d + t;
    const float x = a.qkv[c];
    const float y = lanes::gdn_silu(lanes::gdn_conv_acc(a.conv_w, a.K, x, a.state_in, a.channels, c));
    lanes::gdn_conv_shift(a.state_in, a.state_out, a.K, x, a.channels, c);
    a.conv_out[c] = y;
    ss += y * y;
  }
  if (head >= 2 * a.n_k) return;  // value heads stay as they are (uniform per block)
  const float total = block_sum256(ss, sh);
  const float f = lanes::gdn_head_factor(total, d, head < a.n_k ? a.q_scale : a.k_scale);
  for (int t = int(threadIdx.x); t < d; t += 256) a.conv_out[head * d + t] *= f;
}

// Block h: the two projections of the normalized input for value head h, then its gates.
__global__ void __launch_bounds__(256) gdn_ab_gates_kernel(GdnKernelArgs a) {
  __shared__ float sh[256];
  const int h = int(blockIdx.x);
  const float* ar = a.alpha + size_t(h) * a.n;
  const float* br = a.beta_w + size_t(h) * a.n;
  float sa = 0.0f, sb = 0.0f;
  for (int i = int(threadIdx.x); i < a.n; i += 256) {
    const float x = a.xn[i];
    sa = fmaf(ar[i], x, sa);
    sb = fmaf(br[i], x, sb);
  }
  const float ta = block_sum256(sa, sh);
  const float tb = block_sum256(sb, sh);
  if (threadIdx.x == 0) lanes::gdn_gates(ta, a.dt_bias[h], a.a[h], tb, a.decay + h, a.beta + h);
}

// Block h, thread j: column j of value head h's state (key head h mod n_k).
__global__ void gdn_scan_kernel(GdnKernelArgs a) {
  extern __shared__ float kq[];  // k then q of the key head
  const int d = a.d, h = int(blockIdx.x), j = int(threadIdx.x), g = h % a.n_k;
  kq[j] = a.k[g * d + j];
  kq[d + j] = a.q[g * d + j];
  __syncthreads();
  const size_t base = size_t(h) * d * d;
  a.out[h * d + j] = lanes::gdn_scan_column(a.state_in + base, a.state_out + base, kq, kq + d, a.v[h * d + j],
                                            a.decay[h], a.beta[h], d, j);
}

// Head size 128: block (h, y) owns columns 32y .. 32y + 31, lane = column; warp w takes
// rows 16w .. 16w + 15 and the 8 warps' partial sums meet in shared memory.
__global__ void __launch_bounds__(256) gdn_scan_wide_kernel(GdnKernelArgs a) {
  constexpr int d = 128, rows = 16;
  extern __shared__ float part[];  // 8 warps × 32 columns
  const int h = int(blockIdx.x), g = h % a.n_k, lane = int(threadIdx.x) % 32, w = int(threadIdx.x) / 32;
  const int j = int(blockIdx.y) * 32 + lane;
  const float* kg = a.k + g * d;
  const float* qg = a.q + g * d;
  const size_t base = size_t(h) * d * d;
  float s[rows];
  float e = 0.0f;
#pragma unroll
  for (int r = 0; r < rows; ++r) {
    const int i = w * rows + r;
    s[r] = a.state_in[base + size_t(i) * d + j];
    e = s[r] * kg[i] + e;
  }
  part[w * 32 + lane] = e;
  __syncthreads();
  e = 0.0f;
#pragma unroll
  for (int p = 0; p < 8; ++p) e = e + part[p * 32 + lane];
  __syncthreads();
  const float decay = a.decay[h], beta = a.beta[h];
  const float delta = a.v[h * d + j] - decay * e;
  float o = 0.0f;
#pragma unroll
  for (int r = 0; r < rows; ++r) {
    const int i = w * rows + r;
    const float v = decay * s[r] + delta * (beta * kg[i]);
    a.state_out[base + size_t(i) * d + j] = v;
    o = v * qg[i] + o;
  }
  part[w * 32 + lane] = o;
  __syncthreads();
  if (w == 0) {
    o = 0.0f;
#pragma unroll
    for (int p = 0; p < 8; ++p) o = o + part[p * 32 + lane];
    a.out[h * d + j] = o;
  }
}

// Block h: RMS of the head's scan output, then the norm weight and the SiLU of the gate.
__global__ void __launch_bounds__(256) gated_norm_silu_kernel(GdnKernelArgs a) {
  __shared__ float sh[256];
  const int d = a.d, h = int(blockIdx.x);
  const float* o = a.scan + size_t(h) * d;
  float ss = 0.0f;
  for (int i = int(threadIdx.x); i < d; i += 256) ss += o[i] * o[i];
  const float inv = lanes::gdn_norm_inv(block_sum256(ss, sh), d, a.eps);
  for (int i = int(threadIdx.x); i < d; i += 256) {
    a.gated[size_t(h) * d + i] = lanes::gdn_gated(o[i], inv, a.norm[i], a.z[size_t(h) * d + i]);
  }
}

}  // namespace dev

int launch_gdn(const Launch& l, const KernelArgs& ka) {
  if (ka.ext == nullptr) return int(cudaErrorInvalidValue);
  const GdnKernelArgs& a = *static_cast<const GdnKernelArgs*>(ka.ext);
  switch (l.kernel) {
    case Kernel::GdnConvScaled:
      dev::gdn_conv_scaled_kernel<<<l.grid, 256>>>(a);
      break;
    case Kernel::GdnAbGates:
      dev::gdn_ab_gates_kernel<<<l.grid, 256>>>(a);
      break;
    case Kernel::GdnScan:
      dev::gdn_scan_kernel<<<l.grid, l.block, 2 * size_t(a.d) * sizeof(float)>>>(a);
      break;
    case Kernel::GdnScanWide:
      dev::gdn_scan_wide_kernel<<<dim3(l.grid, 4), 256, 1024>>>(a);
      break;
    case Kernel::GatedNormSilu:
      dev::gated_norm_silu_kernel<<<l.grid, 256>>>(a);
      break;
    default:
      return int(cudaErrorInvalidValue);
  }
  return dev::last_launch_status();
}

}  // namespace kestrune
