// The Q8_0 product, activation quantization and the element-wise kernels.
#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

// One warp per row; lane l takes element l of every block, in block order.
__global__ void __launch_bounds__(128) matvec_q8_0_kernel(const uint8_t* W, const float* x, float* y, int cols,
                                                          int rows, int accumulate) {
  const int tid = flat_tid(), lane = tid % 32;
  const int row = int(blockIdx.x) * 4 + tid / 32;
  if (row >= rows) return;
  const int nb = cols / 32;
  const uint8_t* r = W + size_t(row) * nb * lanes::kQ8Bytes;
  float acc = 0.0f;
  for (int b = 0; b < nb; ++b) acc = fmaf(__ldg(x + 32 * b + lane), lanes::q8_0_value(r + size_t(b) * lanes::kQ8Bytes, lane), acc);
  const float s = warp_sum(acc);
  if (lane == 0) store(y, row, s, accumulate);
}

// Thread i quantizes x[i]; its warp's 32 elements share one scale.
__global__ void __launch_bounds__(128) quantize_x_q8_kernel(const float* x, int8_t* xq, float* xs, int n) {
  const int i = int(blockIdx.x) * 128 + int(threadIdx.x);
  const float v = i < n ? x[i] : 0.0f;
  float amax = fabsf(v);
#pragma unroll
  for (int off = 16; off > 0; off >>= 1) amax = fmaxf(amax, __shfl_xor_sync(0xffffffffu, amax, off));
  if (i >= n) return;
  xq[i] = lanes::quantize_q8(v, amax);
  if (i % 32 == 0) xs[i / 32] = lanes::q8_block_scale(amax);
}

__global__ void __launch_bounds__(1024) rmsnorm_kernel(const float* x, const float* w, float* y, int n, float eps) {
  __shared__ float warps[32];
  const int tid = int(threadIdx.x), n4 = n / 4;
  float s = 0.0f;
  for (int i = tid; i < n4; i += 1024) {
    const float4 v = reinterpret_cast<const float4*>(x)[i];
    s += v.x * v.x + v.y * v.y + v.z * v.z + v.w * v.w;
  }
  for (int i = 4 * n4 + tid; i < n; i += 1024) s += x[i] * x[i];
  s = warp_sum(s);
  if (tid % 32 == 0) warps[tid / 32] = s;
  __syncthreads();
  __shared__ float inv;
  if (tid < 32) {
    float t = warp_sum(warps[tid]);
    if (tid == 0) inv = __frcp_rn(__fsqrt_rn(eps + t / float(n)));
  }
  __syncthreads();
  for (int i = tid; i < n4; i += 1024) {
    const float4 v = reinterpret_cast<const float4*>(x)[i];
    const float4 g = reinterpret_cast<const float4*>(w)[i];
    reinterpret_cast<float4*>(y)[i] = make_float4((inv * v.x) * g.x, (inv * v.y) * g.y, (inv * v.z) * g.z,
                                                  (inv * v.w) * g.w);
  }
  for (int i = 4 * n4 + tid; i < n; i += 1024) y[i] = (inv * x[i]) * w[i];
}

__global__ void __launch_bounds__(256) silu_mul_kernel(float* g, const float* u, int n) {
  const int i = int(blockIdx.x) * 256 + int(threadIdx.x);
  if (i < n) g[i] = lanes::swiglu(g[i], u[i]);
}

__global__ void __launch_bounds__(256) add_inplace_kernel(float* a, const float* b, int n) {
  const int i = int(blockIdx.x) * 256 + int(threadIdx.x);
  if (i < n) a[i] = b[i] + a[i];
}

}  // namespace dev

int launch_q8_and_small(const Launch& l, const KernelArgs& a) {
  switch (l.kernel) {
    case Kernel::MatvecQ8_0:
      dev::matvec_q8_0_kernel<<<l.grid, 128>>>(static_cast<const uint8_t*>(a.w0), a.x, a.y0, a.cols, a.rows,
                                               l.accumulate ? 1 : 0);
      break;
    case Kernel::QuantizeXQ8:
      dev::quantize_x_q8_kernel<<<l.grid, 128>>>(a.x, a.xq, a.xs, a.n);
      break;
    case Kernel::RmsNorm:
      dev::rmsnorm_kernel<<<1, 1024>>>(a.x, a.w, a.y0, a.n, a.eps);
      break;
    case Kernel::SiluMul:
      dev::silu_mul_kernel<<<l.grid, 256>>>(a.y0, a.x, a.n);
      break;
    case Kernel::AddInplace:
      dev::add_inplace_kernel<<<l.grid, 256>>>(a.y0, a.x, a.n);
      break;
    default:
      return int(cudaErrorInvalidValue);
  }
  return dev::last_launch_status();
}

}  // namespace kestrune
