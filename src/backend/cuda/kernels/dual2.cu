// Two K-quant matrices of possibly different formats and row counts sharing one input,
// in one launch: warps r < rows0 take W0's rows, the rest W1's.
#include "backend/cuda/kernels/common.cuh"
#include "backend/cuda/kernels/launch.h"

namespace kestrune {
namespace dev {

template <class A, class B>
__global__ void __launch_bounds__(128) mv_dual2_wide_kernel(const uint8_t* W0, const uint8_t* W1, const float* x,
                                                            float* y0, float* y1, int cols, int rows0, int rows1) {
  const int tid = flat_tid(), lane = tid % 32;
  const int r = int(blockIdx.x) * 4 + tid / 32;
  if (r >= rows0 + rows1) return;
  const size_t blocks = size_t(cols / lanes::kSuper);
  float acc[1];
  if (r < rows0) {
    kquant_row<A, 1>(W0 + size_t(r) * blocks * A::kBytes, x, cols, 0, 1, lane, acc);
  } else {
    kquant_row<B, 1>(W1 + size_t(r - rows0) * blocks * B::kBytes, x, cols, 0, 1, lane, acc);
  }
  const float s = warp_sum(acc[0]);
  if (lane == 0) (r < rows0 ? y0 : y1)[r < rows0 ? r : r - rows0] = s;
}

}  // namespace dev

int launch_dual2(const Launch& l, const KernelArgs& a) {
  const auto* w0 = static_cast<const uint8_t*>(a.w0);
  const auto* w1 = static_cast<const uint8_t*>(a.w1);
  return dev::with_kquant(l.fmt0, [&](auto f0) {
    return dev::with_kquant(l.fmt1, [&](auto f1) {
      dev::mv_dual2_wide_kernel<decltype(f0), decltype(f1)>
          <<<l.grid, 128>>>(w0, w1, a.x, a.y0, a.y1, a.cols, a.rows, a.rows1);
      return dev::last_launch_status();
    });
  });
}

}  // namespace kestrune
