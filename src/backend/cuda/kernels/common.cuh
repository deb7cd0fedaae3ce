// Device building blocks shared by the kernel files: warp sums and the per-row lane
// loops of the K-quant products.
#pragma once

#include <cuda_runtime.h>

#include "backend/cuda/dispatch.h"
#include "backend/cuda/lanes.h"

namespace kestrune::dev {

using lanes::FmtQ4K;
using lanes::FmtQ5K;
using lanes::FmtQ6K;

__device__ __forceinline__ float warp_sum(float v) {
#pragma unroll
  for (int off = 16; off > 0; off >>= 1) v += __shfl_down_sync(0xffffffffu, v, off);
  return v;
}

__device__ __forceinline__ int flat_tid() { return int(threadIdx.y * blockDim.x + threadIdx.x); }

// Lane partial sums of NC columns (x column c at c × cols) over the superblocks
// sb0, sb0 + step, ... of one row: two runs per lane, added after the last superblock.
template <class Fmt, int NC>
__device__ __forceinline__ void kquant_row(const uint8_t* row, const float* x, int cols, int sb0, int step, int lane,
                                           float (&acc)[NC]) {
  const int nsb = cols / lanes::kSuper;
  const lanes::Runs r = Fmt::runs(lane);
  float pa[NC], pb[NC];
#pragma unroll
  for (int c = 0; c < NC; ++c) pa[c] = pb[c] = 0.0f;
  for (int sb = sb0; sb < nsb; sb += step) {
    float va[4], vb[4];
    Fmt::values(row + size_t(sb) * Fmt::kBytes, lane, va, vb);
#pragma unroll
    for (int c = 0; c < NC; ++c) {
      const float* xc = x + size_t(c) * cols + size_t(sb) * lanes::kSuper;
      const float4 xa = __ldg(reinterpret_cast<const float4*>(xc + r.a));
      const float4 xb = __ldg(reinterpret_cast<const float4*>(xc + r.b));
      pa[c] = fmaf(va[0], xa.x, pa[c]);
      pa[c] = fmaf(va[1], xa.y, pa[c]);
      pa[c] = fmaf(va[2], xa.z, pa[c]);
      pa[c] = fmaf(va[3], xa.w, pa[c]);
      pb[c] = fmaf(vb[0], xb.x, pb[c]);
      pb[c] = fmaf(vb[1], xb.y, pb[c]);
      pb[c] = fmaf(vb[2], xb.z, pb[c]);
      pb[c] = fmaf(vb[3], xb.w, pb[c]);
    }
  }
#pragma unroll
  for (int c = 0; c < NC; ++c) acc[c] = pa[c] + pb[c];
}

__device__ __forceinline__ void store(float* y, int row, float s, int accumulate) {
  y[row] = accumulate ? y[row] + s : s;
}

// One warp per row, 4 rows per block; column c of y at c × rows.
template <class Fmt, int NC>
__device__ __forceinline__ void wide_body(const uint8_t* W, const float* x, float* y, int cols, int rows,
                                          int accumulate) {
  const int tid = flat_tid(), lane = tid % 32;
  const int row = int(blockIdx.x) * 4 + tid / 32;
  if (row >= rows) return;
  const size_t row_bytes = size_t(cols / lanes::kSuper) * Fmt::kBytes;
  float acc[NC];
  kquant_row<Fmt, NC>(W + size_t(row) * row_bytes, x, cols, 0, 1, lane, acc);
#pragma unroll
  for (int c = 0; c < NC; ++c) {
    const float s = warp_sum(acc[c]);
    if (lane == 0) store(y + size_t(c) * rows, row, s, accumulate);
  }
}

// The 4 warps of a block share one row, superblocks dealt round-robin.
template <class Fmt, int NC>
__device__ __forceinline__ void split4_body(const uint8_t* W, const float* x, float* y, int cols, int rows,
                                            int accumulate) {
  __shared__ float part[4 * NC];
  const int tid = flat_tid(), lane = tid % 32, warp = tid / 32;
  const int row = int(blockIdx.x);
  if (row >= rows) return;
  const size_t row_bytes = size_t(cols / lanes::kSuper) * Fmt::kBytes;
  float acc[NC];
  kquant_row<Fmt, NC>(W + size_t(row) * row_bytes, x, cols, warp, 4, lane, acc);
#pragma unroll
  for (int c = 0; c < NC; ++c) {
    const float s = warp_sum(acc[c]);
    if (lane == 0) part[4 * c + warp] = s;
  }
  __syncthreads();
  if (tid == 0) {
#pragma unroll
    for (int c = 0; c < NC; ++c) {
      const float* p = part + 4 * c;
      store(y + size_t(c) * rows, row, (p[0] + p[1]) + (p[2] + p[3]), accumulate);
    }
  }
}

inline int last_launch_status() { return int(cudaGetLastError()); }

// Calls fn with a value of the K-quant format type of f.
template <class F>
int with_kquant(DeviceFormat f, F&& fn) {
  switch (f) {
    case DeviceFormat::Q4_K:
      return fn(FmtQ4K{});
    case DeviceFormat::Q5_K:
      return fn(FmtQ5K{});
    case DeviceFormat::Q6_K:
      return fn(FmtQ6K{});
    default:
      return int(cudaErrorInvalidValue);
  }
}

}  // namespace kestrune::dev
