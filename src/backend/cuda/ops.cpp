#include "backend/cuda/ops.h"

#include <algorithm>
#include <mutex>

#include "backend/cuda/columns.h"
#include "backend/cuda/matvec.h"
#include "common/format.h"

namespace kestrune {

namespace {

// A resident weight and its shape; the caller holds weight_mu.
struct DeviceWeight {
  DeviceShape shape;
  const void* ptr;
};
Result<DeviceWeight> device_weight(CudaContext& c, const Matrix& m) {
  const DeviceShape s = *device_shape(m);
  const TensorView& v = std::get<TensorView>(m);
  KS_TRY(const void* p, resident_weight(c, v.data, v.size));
  return DeviceWeight{s, p};
}

Status check_input(const Matrix& m, const DeviceShape& s, const Activations& x) {
  if (x.n != s.cols) {
    const TensorView& v = std::get<TensorView>(m);
    return invalid_data(format("{}: matvec x len {} != ne0 {}", v.name(), x.n, s.cols));
  }
  return {};
}

// y = W · x over every column: the three-, two- and one-column kernels in turn.
Status products(CudaContext& c, const DeviceWeight& w, const float* x, float* y, size_t k) {
  const size_t cols = w.shape.cols, rows = w.shape.rows;
  for (size_t j = 0; j < k;) {
    const size_t take = std::min<size_t>(3, k - j);
    const ProductOp op = take == 3 ? ProductOp::N3 : take == 2 ? ProductOp::N2 : ProductOp::Single;
    ProductShape s{op, w.shape.fmt, w.shape.fmt, uint32_t(rows), 0, uint32_t(cols), c.x8};
    KS_CHECK(run_product(c, s, {w.ptr, nullptr, x + j * cols, y + j * rows, nullptr, nullptr}));
    j += take;
  }
  return {};
}

}  // namespace

Result<Activations> cuda_rms_norm(CudaContext& c, const Activations& x, std::span<const float> w, float eps,
                                  const char* op) {
  if (w.size() < x.n) return invalid_data(format("{}: norm weight {} < {}", op, w.size(), x.n));
  Activations staged;
  KS_TRY(const float* in, device_input(c, x, staged, op));
  KS_TRY(const float* norm, resident_norm(c, w));
  KS_TRY(Activations y, device_columns(c, x.k, x.n));
  for (size_t j = 0; j < x.k; ++j) {
    KS_CHECK(dev_rmsnorm(*c.api, in + j * x.n, norm, y.device->floats() + j * x.n, int(x.n), eps, "rmsnorm launch"));
  }
  return y;
}

bool cuda_reads(const Matrix& m) { return device_shape(m).has_value(); }

Result<Activations> cuda_matmul(CudaContext& c, const Matrix& m, const Activations& x) {
  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(DeviceWeight w, device_weight(c, m));
  KS_CHECK(check_input(m, w.shape, x));
  Activations staged;
  KS_TRY(const float* in, device_input(c, x, staged, "matmul"));
  KS_TRY(Activations y, device_columns(c, x.k, w.shape.rows));
  KS_CHECK(products(c, w, in, y.device->floats(), x.k));
  return y;
}

Result<std::pair<Activations, Activations>> cuda_matmul_pair(CudaContext& c, const Matrix& m0, const Matrix& m1,
                                                            const Activations& x) {
  if (x.k != 1) {
    KS_TRY(Activations y0, cuda_matmul(c, m0, x));
    KS_TRY(Activations y1, cuda_matmul(c, m1, x));
    return std::pair{std::move(y0), std::move(y1)};
  }
  // One column: the dual kernels read the input once for both weights.
  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(DeviceWeight w0, device_weight(c, m0));
  KS_TRY(DeviceWeight w1, device_weight(c, m1));
  KS_CHECK(check_input(m0, w0.shape, x));
  KS_CHECK(check_input(m1, w1.shape, x));
  Activations staged;
  KS_TRY(const float* in, device_input(c, x, staged, "matmul"));
  KS_TRY(Activations y0, device_columns(c, 1, w0.shape.rows));
  KS_TRY(Activations y1, device_columns(c, 1, w1.shape.rows));
  const int cols = int(w0.shape.cols);
  if (w0.shape.rows == w1.shape.rows) {
    KS_CHECK(dev_matvec_dual(c, w0.shape.fmt, w0.ptr, w1.shape.fmt, w1.ptr, in, y0.device->floats(),
                             y1.device->floats(), cols, int(w0.shape.rows)));
  } else {
    KS_CHECK(dev_matvec_dual2(c, w0.shape.fmt, w0.ptr, int(w0.shape.rows), w1.shape.fmt, w1.ptr,
                              int(w1.shape.rows), in, y0.device->floats(), y1.device->floats(), cols));
  }
  return std::pair{std::move(y0), std::move(y1)};
}

Status cuda_matmul_add(CudaContext& c, const Matrix& m, const Activations& x, Activations& acc) {
  if (x.k != 1) {
    KS_TRY(Activations y, cuda_matmul(c, m, x));
    return cuda_add(c, acc, y);
  }
  // One column: the product adds into the residual as it writes.
  KS_CHECK(make_resident(c, acc, "matmul_add"));
  std::lock_guard<std::mutex> weights(c.weight_mu);
  KS_TRY(DeviceWeight w, device_weight(c, m));
  KS_CHECK(check_input(m, w.shape, x));
  if (acc.k != 1 || acc.n != w.shape.rows) {
    return invalid_data(format("matmul_add: rows {} != residual {}", w.shape.rows, acc.n));
  }
  Activations staged;
  KS_TRY(const float* in, device_input(c, x, staged, "matmul_add"));
  KS_TRY(Activations tmp, device_columns(c, 1, w.shape.rows));
  return dev_matvec_residual(c, w.shape.fmt, w.ptr, in, tmp.device->floats(), acc.device->floats(),
                             int(w.shape.cols), int(w.shape.rows));
}

Status cuda_add(CudaContext& c, Activations& acc, const Activations& y) {
  if (acc.k != y.k || acc.n != y.n) return invalid_data("add: column geometry mismatch");
  KS_CHECK(make_resident(c, acc, "add"));
  Activations staged;
  KS_TRY(const float* in, device_input(c, y, staged, "add", acc.n));
  return dev_add_inplace(*c.api, acc.device->floats(), in, int(acc.k * acc.n), "add launch");
}

Status cuda_silu_mul(CudaContext& c, Activations& g, const Activations& u) {
  if (g.k != u.k || g.n != u.n) return invalid_data("silu_mul: column geometry mismatch");
  KS_CHECK(make_resident(c, g, "silu_mul"));
  Activations staged;
  KS_TRY(const float* in, device_input(c, u, staged, "silu_mul", g.n));
  return dev_silu_mul(*c.api, g.device->floats(), in, int(g.k * g.n), "silu_mul launch");
}

}  // namespace kestrune
