// Every device kernel and whole models on the device against the CPU reference. Prints
// one line per check and a summary; exits 0 when all pass, or when no device is visible
// (after one SKIP line).
//
//   kestrune_gpu_tests [MODEL.gguf ...]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "backend/cuda/cuda.h"
#include "backend/cuda/matvec.h"
#include "gpu_layers.h"
#include "gpu_support.h"
#include "model/forward.h"
#include "quant/blocks.h"

namespace kestrune::gpu {
namespace {

int g_failed = 0, g_passed = 0;

void report(bool ok, const std::string& what, double metric, double tol) {
  (ok ? g_passed : g_failed) += 1;
  std::printf("%s %-58s rel %.3g (tol %.3g)\n", ok ? "PASS" : "FAIL", what.c_str(), metric, tol);
}

// ‖got − want‖ / ‖want‖; any NaN in got fails.
double rel_error(const std::vector<float>& got, const std::vector<double>& want) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!std::isfinite(got[i])) return INFINITY;
    num += (got[i] - want[i]) * (got[i] - want[i]);
    den += want[i] * want[i];
  }
  return std::sqrt(num / std::max(den, 1e-300));
}

struct HostMatrix {
  TensorInfo info;
  std::vector<uint8_t> bytes;
  std::vector<float> rows;  // decoded
};

HostMatrix make_matrix(uint32_t type, uint64_t cols, uint64_t rows, std::mt19937& rng) {
  HostMatrix m{{"w", {cols, rows}, type, 0}, random_rows(type, cols, rows, rng), {}};
  m.rows.resize(cols * rows);
  if (!dequant_values(type, m.bytes.data(), cols * rows, m.rows.data()).ok()) std::exit(2);
  return m;
}

// W · x for `columns` columns of x (stride cols), in double.
std::vector<double> reference(const HostMatrix& m, const std::vector<float>& x, int columns) {
  const uint64_t cols = m.info.dims[0], rows = m.info.dims[1];
  std::vector<double> y(columns * rows);
  for (int c = 0; c < columns; ++c) {
    for (uint64_t r = 0; r < rows; ++r) {
      double s = 0;
      for (uint64_t i = 0; i < cols; ++i) s += double(m.rows[r * cols + i]) * x[c * cols + i];
      y[c * rows + r] = s;
    }
  }
  return y;
}

void kernel_checks() {
  std::mt19937 rng(11);
  const uint32_t types[] = {kQ8_0, kQ4_K, kQ5_K, kQ6_K};
  // Row counts on both sides of the split4 / wide and x8 boundaries; odd counts.
  const uint32_t row_counts[] = {7, 2047, 8191, 8192};
  for (bool x8 : {false, true}) {
    Cuda cuda = make_cuda(cuda_runtime_api(), 1, x8, false);
    CudaContext& c = *cuda.ctx;
    for (uint32_t t : types) {
      for (uint32_t rows : row_counts) {
        const uint64_t cols = t == kQ8_0 ? 96 : 768;  // 3 blocks / 3 superblocks
        const HostMatrix a = make_matrix(t, cols, rows, rng), b = make_matrix(t == kQ8_0 ? kQ6_K : kQ5_K, 768, 5, rng);
        std::normal_distribution<float> nd;
        std::vector<float> x(3 * cols);
        for (auto& v : x) v = nd(rng);
        const DeviceShape s = *device_shape(a.info, a.bytes.size());
        DevMem w(a.bytes.data(), a.bytes.size()), dx(x.data(), x.size() * 4), y(3 * rows * 4), tmp(rows * 4);
        const double tol = x8 && t == kQ4_K ? 2e-2 : 1e-5;
        const std::string tag = std::string(type_name(t)) + " rows " + std::to_string(rows) + (x8 ? " x8" : "");
        struct Op {
          const char* name;
          int columns;
          std::function<Status()> run;
        };
        const int C = int(cols), R = int(rows);
        const Op ops[] = {
            {"matvec", 1, [&] { return dev_matvec(c, s.fmt, w.p, dx.f(), y.f(), C, R); }},
            {"n2", 2, [&] { return dev_matvec_n2(c, s.fmt, w.p, dx.f(), y.f(), C, R); }},
            {"n3", 3, [&] { return dev_matvec_n3(c, s.fmt, w.p, dx.f(), y.f(), C, R); }},
        };
        for (const auto& op : ops) {
          cudaMemset(y.p, 0xff, 3 * rows * 4);  // NaN poison: every output must be written
          const Status st = op.run();
          const auto got = download(y.f(), size_t(op.columns) * rows);
          const double e = st.ok() ? rel_error(got, reference(a, x, op.columns)) : INFINITY;
          if (!st.ok()) std::printf("     %s\n", st.error().message.c_str());
          report(e <= tol, std::string(op.name) + " " + tag, e, tol);
        }
        // acc += W·x from acc = 1.
        std::vector<float> ones(rows, 1.0f);
        cudaMemcpy(y.p, ones.data(), rows * 4, cudaMemcpyHostToDevice);
        Status st = dev_matvec_residual(c, s.fmt, w.p, dx.f(), tmp.f(), y.f(), C, R);
        auto want = reference(a, x, 1);
        for (auto& v : want) v += 1.0;
        double e = st.ok() ? rel_error(download(y.f(), rows), want) : INFINITY;
        report(e <= tol, "residual " + tag, e, tol);
        if (t == kQ8_0) continue;
        // Dual (same rows, W1 = a second matrix of the same format) and dual2 (mixed).
        const HostMatrix a2 = make_matrix(t, cols, rows, rng);
        DevMem w2(a2.bytes.data(), a2.bytes.size()), wb(b.bytes.data(), b.bytes.size()), y1(rows * 4);
        cudaMemset(y.p, 0xff, rows * 4);
        cudaMemset(y1.p, 0xff, rows * 4);
        st = dev_matvec_dual(c, s.fmt, w.p, s.fmt, w2.p, dx.f(), y.f(), y1.f(), C, R);
        e = st.ok() ? std::max(rel_error(download(y.f(), rows), reference(a, x, 1)),
                               rel_error(download(y1.f(), rows), reference(a2, x, 1)))
                    : INFINITY;
        report(e <= tol, "dual " + tag, e, tol);
        const DeviceShape sb = *device_shape(b.info, b.bytes.size());
        cudaMemset(y.p, 0xff, rows * 4);
        cudaMemset(y1.p, 0xff, 5 * 4);
        st = dev_matvec_dual2(c, s.fmt, w.p, R, sb.fmt, wb.p, 5, dx.f(), y.f(), y1.f(), C);
        e = st.ok() ? std::max(rel_error(download(y.f(), rows), reference(a, x, 1)),
                               rel_error(download(y1.f(), 5), reference(b, x, 1)))
                    : INFINITY;
        report(e <= tol, "dual2 +q5_k " + tag, e, tol);
      }
    }
  }
}

void elementwise_checks() {
  std::mt19937 rng(3);
  std::normal_distribution<float> nd;
  const int n = 1030;  // a tail after the 4-float vectors
  std::vector<float> x(n), w(n), u(n);
  for (int i = 0; i < n; ++i) x[i] = nd(rng), w[i] = nd(rng), u[i] = nd(rng);
  const DeviceApi& api = cuda_runtime_api();
  DevMem dx(x.data(), n * 4), dw(w.data(), n * 4), du(u.data(), n * 4), dy(n * 4);
  double ss = 0;
  for (float v : x) ss += double(v) * v;
  const double inv = 1.0 / std::sqrt(1e-6 + ss / n);
  std::vector<double> want(n);
  for (int i = 0; i < n; ++i) want[i] = inv * x[i] * w[i];
  Status st = dev_rmsnorm(api, dx.f(), dw.f(), dy.f(), n, 1e-6f, "rmsnorm launch");
  double e = st.ok() ? rel_error(download(dy.f(), n), want) : INFINITY;
  report(e <= 1e-6, "rmsnorm n 1030", e, 1e-6);
  st = dev_silu_mul(api, dx.f(), du.f(), n, "silu_mul launch");
  for (int i = 0; i < n; ++i) want[i] = u[i] * (x[i] / (1.0 + std::exp(-double(x[i]))));
  e = st.ok() ? rel_error(download(dx.f(), n), want) : INFINITY;
  report(e <= 1e-6, "silu_mul n 1030", e, 1e-6);
  cudaMemcpy(dx.p, x.data(), n * 4, cudaMemcpyHostToDevice);
  st = dev_add_inplace(api, dx.f(), du.f(), n, "add launch");
  for (int i = 0; i < n; ++i) want[i] = double(x[i]) + u[i];
  e = st.ok() ? rel_error(download(dx.f(), n), want) : INFINITY;
  report(e <= 1e-7, "add_inplace n 1030", e, 1e-7);
}

// Logits on the cuda backend against the CPU backend, token by token on the CPU's
// greedy continuation; the argmax must agree wherever the CPU's top-two margin is
// comfortable.
void model_check(const std::string& path) {
  auto cpu = load_on(path, "cpu");
  auto dev = load_on(path, "cuda");
  if (!cpu || !dev) {
    report(false, "load " + path, INFINITY, 0);
    return;
  }
  DecodeState sc = new_state(*cpu), sd = new_state(*dev);
  uint32_t token = 1;
  double worst = 0;
  int agreed = 0, comfortable = 0;
  for (int step = 0; step < 32; ++step) {
    auto lc = forward(*cpu, sc, token);
    auto ld = forward(*dev, sd, token);
    if (!lc.ok() || !ld.ok()) {
      std::printf("     %s\n", (!lc.ok() ? lc.error() : ld.error()).message.c_str());
      report(false, "model " + path, INFINITY, 0);
      return;
    }
    const std::vector<float>& a = *lc;
    std::vector<double> want(a.begin(), a.end());
    worst = std::max(worst, rel_error(*ld, want));
    std::vector<size_t> order(a.size());
    for (size_t i = 0; i < a.size(); ++i) order[i] = i;
    std::partial_sort(order.begin(), order.begin() + 2, order.end(), [&](size_t i, size_t j) { return a[i] > a[j]; });
    const size_t dev_top = size_t(std::max_element(ld->begin(), ld->end()) - ld->begin());
    if (a[order[0]] - a[order[1]] > 1e-3f * std::max(1.0f, std::fabs(a[order[0]]))) {
      ++comfortable;
      agreed += dev_top == order[0];
    }
    token = uint32_t(order[0]);
  }
  std::printf("     %s: greedy argmax agreed at %d of %d comfortable steps\n", path.c_str(), agreed, comfortable);
  report(worst <= 1e-4 && agreed == comfortable, "model logits " + path.substr(path.rfind('/') + 1), worst, 1e-4);
}

}  // namespace
}  // namespace kestrune::gpu

namespace kestrune::gpu {
int gdn_checks();  // gpu_gdn_checks.cpp: the number of failed checks
}

int main(int argc, char** argv) {
  using namespace kestrune::gpu;
  std::string what;
  if (!device_visible(what)) {
    std::printf("SKIP: no CUDA device visible (%s); GPU tests not run\n", what.c_str());
    return 0;
  }
  std::printf("device: %s\n", what.c_str());
  kernel_checks();
  elementwise_checks();
  g_failed += gdn_checks();
  for (int i = 1; i < argc; ++i) model_check(argv[i]);
  layer_checks(std::vector<std::string>(argv + 1, argv + argc), g_passed, g_failed);
  std::printf("gpu tests: %d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
