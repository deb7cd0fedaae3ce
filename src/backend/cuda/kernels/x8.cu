// Q4_K products against int8-quantized activations (KESTRUNE_XQUANT=q8).
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

// Lane partial of one Q4_K row over superblocks sb0, sb0 + step, ...
__device__ __forceinline__ float x8_row(const uint8_t* row, const int8_t* xq, const float* xs, int cols, int sb0,
                                        int step, int lane) {
  const int nsb = cols / lanes::kSuper;
  float acc = 0.0f;
  for (int sb = sb0; sb < nsb; sb += step) {
    acc += lanes::q4k_x8_lane(row + size_t(sb) * FmtQ4K::kBytes, lane, xq + size_t(sb) * lanes::kSuper,
                              xs + size_t(sb) * (lanes::kSuper / 32));
  }
  return acc;
}

// WARPS warps share each row (4 / WARPS rows per block).
template <int WARPS>
__device__ __forceinline__ void x8_body(const uint8_t* W, const int8_t* xq, const float* xs, float* y, int cols,
                                        int rows) {
  const int tid = flat_tid(), lane = tid % 32, warp = tid / 32;
  constexpr int kRowsPerBlock = 4 / WARPS;
  const int row = int(blockIdx.x) * kRowsPerBlock + warp / WARPS;
  const int sub = warp % WARPS;
  const size_t row_bytes = size_t(cols / lanes::kSuper) * FmtQ4K::kBytes;
  float s = 0.0f;
  if (row < rows) s = warp_sum(x8_row(W + size_t(row) * row_bytes, xq, xs, cols, sub, WARPS, lane));
  if constexpr (WARPS == 1) {
    if (row < rows && lane == 0) y[row] = s;
  } else {
    __shared__ float part[4];
    if (lane == 0) part[warp] = s;
    __syncthreads();
    if (row < rows && lane == 0 && sub == 0) {
      const float* p = part + warp;
      y[row] = WARPS == 2 ? p[0] + p[1] : (p[0] + p[1]) + (p[2] + p[3]);
    }
  }
}

template <class Fmt>
__global__ void __launch_bounds__(128) mv_wide_x8_kernel(const uint8_t* W, const int8_t* xq, const float* xs, float* y,
                                                         int cols, int rows) {
  x8_body<1>(W, xq, xs, y, cols, rows);
}

template <class Fmt>
__global__ void __launch_bounds__(128) mv_split2_x8_kernel(const uint8_t* W, const int8_t* xq, const float* xs,
                                                           float* y, int cols, int rows) {
  x8_body<2>(W, xq, xs, y, cols, rows);
}

template <class Fmt>
__global__ void __launch_bounds__(128) mv_split4_x8_kernel(const uint8_t* W, const int8_t* xq, const float* xs,
                                                           float* y, int cols, int rows) {
  x8_body<4>(W, xq, xs, y, cols, rows);
}

}  // namespace dev

int launch_x8(const Launch& l, const KernelArgs& a) {
  const auto* w = static_cast<const uint8_t*>(a.w0);
  switch (l.kernel) {
    case Kernel::MvWideX8:
      dev::mv_wide_x8_kernel<dev::FmtQ4K><<<l.grid, 128>>>(w, a.xq, a.xs, a.y0, a.cols, a.rows);
      break;
    case Kernel::MvSplit2X8:
      dev::mv_split2_x8_kernel<dev::FmtQ4K><<<l.grid, 128>>>(w, a.xq, a.xs, a.y0, a.cols, a.rows);
      break;
    default:
      dev::mv_split4_x8_kernel<dev::FmtQ4K><<<l.grid, 128>>>(w, a.xq, a.xs, a.y0, a.cols, a.rows);
      break;
  }
  return dev::last_launch_status();
}

}  // namespace kestrune
