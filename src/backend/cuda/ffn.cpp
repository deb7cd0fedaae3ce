#include "backend/cuda/ffn.h"

#include <memory>

#include "backend/cuda/columns.h"
#include "backend/cuda/matvec.h"
#include "common/format.h"

namespace kestrune {

FfnScratch::FfnScratch(const DeviceApi* api)
    : x_dev(api, Buffer::Device),
      x_pin(api, Buffer::Pinned),
      xn(api, Buffer::Device),
      gate(api, Buffer::Device),
      up(api, Buffer::Device),
      down(api, Buffer::Device) {}

bool ffn_device_eligible(const FfnWeights& w) {
  return device_shape(w.gate) && device_shape(w.up) && device_shape(w.down);
}

namespace {

struct FfnLabels {
  const char* op;
  const char* stage_in;
  const char* stage_out;
};

const FfnLabels kLabels[3] = {
    {"ffn_swiglu", "cudaMemcpy H2D (ffn x)", "cudaMemcpy D2H (ffn x)"},
    {"ffn_swiglu2", "cudaMemcpy H2D (ffn2 x)", "cudaMemcpy D2H (ffn2 x)"},
    {"ffn_swiglu3", "cudaMemcpy H2D (ffn3 x)", "cudaMemcpy D2H (ffn3 x)"},
};

Status check_geometry(const FfnWeights& w, ColumnsOut xs, const char* op) {
  // Two columns report unequal lengths on their own; three fold them into the geometry.
  if (xs.size() == 2 && !column_lengths_equal(xs)) return invalid_data(format("{}: column length mismatch", op));
  const uint64_t n = xs[0].size();
  const DeviceShape g = *device_shape(w.gate), u = *device_shape(w.up), d = *device_shape(w.down);
  if (!column_lengths_equal(xs) || g.cols != n || u.cols != n || u.rows != g.rows || d.cols != g.rows || d.rows != n) {
    return invalid_data(format("{}: tensor geometry mismatch", op));
  }
  // The norm kernel reads n weights.
  if (w.norm.size() != n) {
    return invalid_data(format("{}: norm geometry mismatch (norm {} != hidden {})", op, w.norm.size(), n));
  }
  return {};
}

std::shared_ptr<FfnScratch> scratch_entry(CudaContext& c, const void* key) {
  std::lock_guard<std::mutex> lock(c.ffn_mu);
  auto& slot = c.ffn[key];
  if (!slot) slot = std::make_shared<FfnScratch>(c.api);
  return slot;
}

}  // namespace

Status ffn_swiglu_device(CudaContext& c, const FfnWeights& w, float eps, ColumnsOut xs, bool stage_only) {
  const size_t k = xs.size();
  if (k == 0) return {};
  const FfnLabels& L = kLabels[k - 1];
  KS_CHECK(check_geometry(w, xs, L.op));
  const DeviceShape sg = *device_shape(w.gate), su = *device_shape(w.up), sd = *device_shape(w.down);
  const size_t n = xs[0].size(), ff = sg.rows;
  // The token lock stays held while the chain runs on the resident columns.
  ResidentColumns resident = stage_only ? ResidentColumns{} : resident_columns(c, k, n);
  float* x = resident.x;
  const bool staged = x == nullptr;

  std::lock_guard<std::mutex> weights(c.weight_mu);
  const TensorView &vg = std::get<TensorView>(w.gate), &vu = std::get<TensorView>(w.up),
                   &vd = std::get<TensorView>(w.down);
  KS_TRY(const void* wg, resident_weight(c, vg.data, vg.size));
  KS_TRY(const void* wu, resident_weight(c, vu.data, vu.size));
  KS_TRY(const void* wd, resident_weight(c, vd.data, vd.size));
  KS_TRY(const float* norm, resident_norm(c, w.norm));
  const std::shared_ptr<FfnScratch> entry = scratch_entry(c, vg.data);
  FfnScratch& s = *entry;
  std::lock_guard<std::mutex> lock(s.mu);
  KS_CHECK(ensure_device(s.xn, 4 * k * n));
  KS_CHECK(ensure_device(s.gate, 4 * k * ff));
  KS_CHECK(ensure_device(s.up, 4 * k * ff));
  KS_CHECK(ensure_device(s.down, 4 * k * n));
  if (staged) {
    KS_CHECK(stage_columns_in(*c.api, s.x_pin, s.x_dev, xs, L.stage_in));
    x = s.x_dev.floats();
  }

  const DeviceApi& api = *c.api;
  const int N = int(n), FF = int(ff);
  float *xn = s.xn.floats(), *g = s.gate.floats(), *u = s.up.floats(), *d = s.down.floats();
  if (k == 1) {
    KS_CHECK(dev_rmsnorm(api, x, norm, xn, N, eps, "rmsnorm launch"));
    KS_CHECK(dev_matvec_dual(c, sg.fmt, wg, su.fmt, wu, xn, g, u, N, FF));
    KS_CHECK(dev_silu_mul(api, g, u, FF, "silu_mul launch"));
    KS_CHECK(dev_matvec_residual(c, sd.fmt, wd, g, d, x, FF, N));
  } else if (k == 2) {
    KS_CHECK(dev_rmsnorm(api, x, norm, xn, N, eps, "rmsnorm launch (col0)"));
    KS_CHECK(dev_rmsnorm(api, x + n, norm, xn + n, N, eps, "rmsnorm launch (col1)"));
    KS_CHECK(dev_matvec_raw_n2(c, sg.fmt, wg, xn, g, N, FF, "gate n2 launch"));
    KS_CHECK(dev_matvec_raw_n2(c, su.fmt, wu, xn, u, N, FF, "up n2 launch"));
    KS_CHECK(dev_silu_mul(api, g, u, 2 * FF, "silu_mul launch (both)"));
    KS_CHECK(dev_matvec_raw_n2(c, sd.fmt, wd, g, d, FF, N, "down n2 launch"));
    KS_CHECK(dev_add_inplace(api, x, d, 2 * N, "add launch (both)"));
  } else {
    for (size_t j = 0; j < 3; ++j) KS_CHECK(dev_rmsnorm(api, x + j * n, norm, xn + j * n, N, eps, "ffn3 norm launch"));
    KS_CHECK(dev_matvec_n3(c, sg.fmt, wg, xn, g, N, FF));
    KS_CHECK(dev_matvec_n3(c, su.fmt, wu, xn, u, N, FF));
    KS_CHECK(dev_silu_mul(api, g, u, 3 * FF, "ffn3 silu launch"));
    KS_CHECK(dev_matvec_n3(c, sd.fmt, wd, g, d, FF, N));
    KS_CHECK(dev_add_inplace(api, x, d, 3 * N, "ffn3 residual launch"));
  }
  if (staged) KS_CHECK(stage_columns_out(api, s.x_pin, s.x_dev, xs, L.stage_out));
  return {};
}

}  // namespace kestrune
