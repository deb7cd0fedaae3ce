// Single-column K-quant products (wide and split4) and the Q4_K dual product.
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

template <class Fmt>
__global__ void __launch_bounds__(128) mv_wide_kernel(const uint8_t* W, const float* x, float* y, int cols, int rows,
                                                      int accumulate) {
  wide_body<Fmt, 1>(W, x, y, cols, rows, accumulate);
}

template <class Fmt>
__global__ void __launch_bounds__(128) mv_split4_kernel(const uint8_t* W, const float* x, float* y, int cols, int rows,
                                                        int accumulate) {
  split4_body<Fmt, 1>(W, x, y, cols, rows, accumulate);
}

// Warps numbered over both matrices: r < rows is W0's row r, else W1's row r - rows.
template <class Fmt>
__global__ void __launch_bounds__(128) mv_dual_wide_kernel(const uint8_t* W0, const uint8_t* W1, const float* x,
                                                           float* y0, float* y1, int cols, int rows) {
  const int tid = flat_tid(), lane = tid % 32;
  const int r = int(blockIdx.x) * 4 + tid / 32;
  if (r >= 2 * rows) return;
  const bool first = r < rows;
  const int row = first ? r : r - rows;
  const size_t row_bytes = size_t(cols / lanes::kSuper) * Fmt::kBytes;
  float acc[1];
  kquant_row<Fmt, 1>((first ? W0 : W1) + size_t(row) * row_bytes, x, cols, 0, 1, lane, acc);
  const float s = warp_sum(acc[0]);
  if (lane == 0) (first ? y0 : y1)[row] = s;
}

}  // namespace dev

int launch_kquant(const Launch& l, const KernelArgs& a) {
  const auto* w = static_cast<const uint8_t*>(a.w0);
  const int acc = l.accumulate ? 1 : 0;
  if (l.kernel == Kernel::MvDualWide) {
    dev::mv_dual_wide_kernel<dev::FmtQ4K><<<l.grid, 128>>>(w, static_cast<const uint8_t*>(a.w1), a.x, a.y0, a.y1,
                                                           a.cols, a.rows);
    return dev::last_launch_status();
  }
  const bool wide = l.kernel == Kernel::MvWide;
  return dev::with_kquant(l.fmt0, [&](auto fmt) {
    using Fmt = decltype(fmt);
    if (wide) {
      dev::mv_wide_kernel<Fmt><<<l.grid, 128>>>(w, a.x, a.y0, a.cols, a.rows, acc);
    } else {
      dev::mv_split4_kernel<Fmt><<<l.grid, 128>>>(w, a.x, a.y0, a.cols, a.rows, acc);
    }
    return dev::last_launch_status();
  });
}

}  // namespace kestrune
