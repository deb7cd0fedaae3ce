// Two- and three-column K-quant products: each weight value decoded once for all
// columns.
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

template <class Fmt>
__global__ void __launch_bounds__(128) mv_wide_n2_kernel(const uint8_t* W, const float* x, float* y, int cols, int rows) {
  wide_body<Fmt, 2>(W, x, y, cols, rows, 0);
}

template <class Fmt>
__global__ void __launch_bounds__(128) mv_split4_n2_kernel(const uint8_t* W, const float* x, float* y, int cols,
                                                           int rows) {
  split4_body<Fmt, 2>(W, x, y, cols, rows, 0);
}

// Launched as 32 × 4 threads: x = lane, y = row within the block.
template <class Fmt>
__global__ void __launch_bounds__(128) mv_wide_n3(const uint8_t* W, const float* x, float* y, int cols, int rows) {
  wide_body<Fmt, 3>(W, x, y, cols, rows, 0);
}

template <class Fmt>
__global__ void __launch_bounds__(128) mv_split4_n3(const uint8_t* W, const float* x, float* y, int cols, int rows) {
  split4_body<Fmt, 3>(W, x, y, cols, rows, 0);
}

}  // namespace dev

int launch_multi(const Launch& l, const KernelArgs& a) {
  const auto* w = static_cast<const uint8_t*>(a.w0);
  return dev::with_kquant(l.fmt0, [&](auto fmt) {
    using Fmt = decltype(fmt);
    switch (l.kernel) {
      case Kernel::MvWideN2:
        dev::mv_wide_n2_kernel<Fmt><<<l.grid, 128>>>(w, a.x, a.y0, a.cols, a.rows);
        break;
      case Kernel::MvSplit4N2:
        dev::mv_split4_n2_kernel<Fmt><<<l.grid, 128>>>(w, a.x, a.y0, a.cols, a.rows);
        break;
      case Kernel::MvWideN3:
        dev::mv_wide_n3<Fmt><<<l.grid, dim3(32, 4)>>>(w, a.x, a.y0, a.cols, a.rows);
        break;
      default:
        dev::mv_split4_n3<Fmt><<<l.grid, 128>>>(w, a.x, a.y0, a.cols, a.rows);
        break;
    }
    return dev::last_launch_status();
  });
}

}  // namespace kestrune
