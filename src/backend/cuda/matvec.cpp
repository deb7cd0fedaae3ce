#include "backend/cuda/matvec.h"

#include <mutex>
#include <optional>

namespace kestrune {

namespace {

float* target_ptr(const ProductOperands& o, Target t) {
  return t == Target::Y0 ? o.y0 : t == Target::Y1 ? o.y1 : o.tmp;
}

}  // namespace

Status run_product(CudaContext& c, const ProductShape& s, const ProductOperands& o) {
  const Plan plan = plan_product(s);
  const size_t cols = s.cols;
  // The activation scratch stays locked from the quantization to the product reading it.
  std::optional<std::unique_lock<std::mutex>> xq_lock;
  for (const Launch& l : plan) {
    KernelArgs a;
    a.cols = int(s.cols);
    const uint32_t rows = l.weight == 1 && s.op == ProductOp::Dual2 ? s.rows1 : s.rows;
    a.rows = int(rows);
    a.rows1 = int(s.rows1);
    a.w0 = l.weight == 0 ? o.w0 : o.w1;
    a.w1 = o.w1;
    a.x = o.x + l.x_col * cols;
    a.y0 = target_ptr(o, l.target) + size_t(l.y_col) * rows;
    a.y1 = o.y1;
    switch (l.kernel) {
      case Kernel::QuantizeXQ8:
        if (!xq_lock) xq_lock.emplace(c.xq_mu);
        KS_CHECK(ensure_device(c.xq.q, cols));
        KS_CHECK(ensure_device(c.xq.scales, cols / 32 * sizeof(float)));
        a.n = int(cols);
        break;
      case Kernel::AddInplace:
        a.y0 = o.y0;
        a.x = o.tmp;
        a.n = int(rows);
        break;
      default:
        break;
    }
    if (xq_lock) {
      a.xq = static_cast<int8_t*>(c.xq.q.ptr);
      a.xs = c.xq.scales.floats();
    }
    KS_CHECK(launch_checked(*c.api, l, a, l.label));
  }
  return {};
}

Status dev_matvec(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* y, int cols, int rows) {
  ProductShape s{ProductOp::Single, fmt, fmt, uint32_t(rows), 0, uint32_t(cols), c.x8};
  return run_product(c, s, {w, nullptr, x, y, nullptr, nullptr});
}

Status dev_matvec_residual(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* tmp, float* acc,
                           int cols, int rows) {
  ProductShape s{ProductOp::Residual, fmt, fmt, uint32_t(rows), 0, uint32_t(cols), c.x8};
  return run_product(c, s, {w, nullptr, x, acc, nullptr, tmp});
}

Status dev_matvec_dual(CudaContext& c, DeviceFormat fmt0, const void* w0, DeviceFormat fmt1, const void* w1,
                       const float* x, float* y0, float* y1, int cols, int rows) {
  ProductShape s{ProductOp::Dual, fmt0, fmt1, uint32_t(rows), uint32_t(rows), uint32_t(cols), c.x8};
  return run_product(c, s, {w0, w1, x, y0, y1, nullptr});
}

Status dev_matvec_dual2(CudaContext& c, DeviceFormat fmt0, const void* w0, int rows0, DeviceFormat fmt1,
                        const void* w1, int rows1, const float* x, float* y0, float* y1, int cols) {
  ProductShape s{ProductOp::Dual2, fmt0, fmt1, uint32_t(rows0), uint32_t(rows1), uint32_t(cols), c.x8};
  return run_product(c, s, {w0, w1, x, y0, y1, nullptr});
}

Status dev_matvec_n2(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* y, int cols, int rows) {
  ProductShape s{ProductOp::N2, fmt, fmt, uint32_t(rows), 0, uint32_t(cols), c.x8};
  return run_product(c, s, {w, nullptr, x, y, nullptr, nullptr});
}

Status dev_matvec_n3(CudaContext& c, DeviceFormat fmt, const void* w, const float* x, float* y, int cols, int rows) {
  ProductShape s{ProductOp::N3, fmt, fmt, uint32_t(rows), 0, uint32_t(cols), c.x8};
  return run_product(c, s, {w, nullptr, x, y, nullptr, nullptr});
}

Status dev_rmsnorm(const DeviceApi& api, const float* x, const float* w, float* y, int n, float eps,
                   const char* label) {
  Launch l{Kernel::RmsNorm};
  l.grid = 1;
  l.block = 1024;
  KernelArgs a;
  a.x = x;
  a.w = w;
  a.y0 = y;
  a.n = n;
  a.eps = eps;
  return launch_checked(api, l, a, label);
}

namespace {
Status elementwise(const DeviceApi& api, Kernel k, float* a_out, const float* b, int n, const char* label) {
  Launch l{k};
  l.grid = uint32_t((n + 255) / 256);
  l.block = 256;
  KernelArgs a;
  a.y0 = a_out;
  a.x = b;
  a.n = n;
  return launch_checked(api, l, a, label);
}
}  // namespace

Status dev_silu_mul(const DeviceApi& api, float* g, const float* u, int n, const char* label) {
  return elementwise(api, Kernel::SiluMul, g, u, n, label);
}

Status dev_add_inplace(const DeviceApi& api, float* a, const float* b, int n, const char* label) {
  return elementwise(api, Kernel::AddInplace, a, b, n, label);
}

}  // namespace kestrune
