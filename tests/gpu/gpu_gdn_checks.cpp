// The GDN mixer on the device against the CPU layer: each width with the narrow (head
// size 64) and the wide (128) scan from a state that already holds history, an armed
// two-column call resolved at depth 0 and 1 against single-position calls on the
// device, and a dense W_out (its product on the host, the rest on the device).
// Tolerances are relative to the mixer's contribution: 1e-3 against the CPU (other
// summation orders, fused multiply-adds), 1e-5 between device paths.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "gpu_support.h"
#include "model/layers.h"
#include "weights/model_file.h"

namespace kestrune::gpu {
namespace {

int g_gdn_failed = 0;

void gdn_report(bool ok, const std::string& what, double metric, double tol) {
  g_gdn_failed += ok ? 0 : 1;
  std::printf("%s %-58s rel %.3g (tol %.3g)\n", ok ? "PASS" : "FAIL", what.c_str(), metric, tol);
}

std::vector<float> uniform(size_t n, std::mt19937& rng, float lo, float hi) {
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

struct GpuGdnLayer {
  GdnGeometry g;
  uint64_t n;
  TensorInfo qkv_i, z_i, out_i;
  std::vector<uint8_t> qkv_b, z_b, out_b;
  CachedTensor conv, alpha, beta, dense_out;
  std::vector<float> norm, a, dt, out_norm;
  mutable std::mt19937 rng;

  GpuGdnLayer(uint32_t type, uint64_t d, uint64_t hk, uint64_t hv, uint64_t hidden, uint32_t seed)
      : g{d, hk, hv, 4, 1e-6f},
        n(hidden),
        qkv_i{"qkv", {hidden, g.channels()}, type, 0},
        z_i{"z", {hidden, g.inner()}, type, 0},
        out_i{"out", {g.inner(), hidden}, type, 0},
        rng(seed) {
    qkv_b = random_rows(type, hidden, g.channels(), rng);
    z_b = random_rows(type, hidden, g.inner(), rng);
    out_b = random_rows(type, g.inner(), hidden, rng);
    conv = {{4, g.channels()}, uniform(4 * g.channels(), rng, -0.5f, 0.5f)};
    alpha = {{hidden, hv}, uniform(hidden * hv, rng, -0.05f, 0.05f)};
    beta = {{hidden, hv}, uniform(hidden * hv, rng, -0.05f, 0.05f)};
    norm = uniform(hidden, rng, 0.8f, 1.2f);
    a = uniform(hv, rng, -1.0f, -0.1f);
    dt = uniform(hv, rng, -0.5f, 0.5f);
    out_norm = uniform(d, rng, 0.8f, 1.2f);
    dense_out = {{g.inner(), hidden}, {}};
    const TensorView ov{&out_i, out_b.data(), out_b.size()};
    for (uint64_t r = 0; r < hidden; ++r) {
      const auto row = dequant_row(ov, r);
      dense_out.data.insert(dense_out.data.end(), row->begin(), row->end());
    }
  }
  GpuGdnLayer(const GpuGdnLayer&) = delete;

  GdnWeights weights() const {
    return {norm,     TensorView{&qkv_i, qkv_b.data(), qkv_b.size()},  &conv, &alpha, &beta, a, dt,
            TensorView{&z_i, z_b.data(), z_b.size()}, out_norm, TensorView{&out_i, out_b.data(), out_b.size()}};
  }
  std::vector<float> x() const { return uniform(n, rng, -1.0f, 1.0f); }
};

using Cols = std::vector<std::vector<float>>;

// The layer over `xs` in place; false on error (printed).
bool run(const Backend& b, const GpuGdnLayer& L, const GdnWeights& w, uint64_t nonce, GdnLayerState& st, Cols& xs) {
  std::vector<std::span<float>> cols(xs.begin(), xs.end());
  const Status s = gdn_mixer(b, L.g, w, nonce, st, cols);
  if (!s.ok()) std::printf("     %s\n", s.error().message.c_str());
  return s.ok();
}

// Worst ‖got − want‖ / ‖want − base‖ over the columns.
double worst(const Cols& got, const Cols& want, const Cols& base) {
  double e = 0;
  for (size_t j = 0; j < want.size(); ++j) {
    double num = 0, den = 0;
    for (size_t i = 0; i < want[j].size(); ++i) {
      if (!std::isfinite(got[j][i])) return INFINITY;
      num += std::pow(double(got[j][i]) - want[j][i], 2);
      den += std::pow(double(want[j][i]) - base[j][i], 2);
    }
    e = std::max(e, std::sqrt(num / std::max(den, 1e-300)));
  }
  return e;
}

Backend device() { return Backend{make_cuda(cuda_runtime_api(), 1, false, false)}; }

void width_checks() {
  const Backend cpu{make_cpu(1)};
  for (uint32_t type : {kQ8_0, kQ4_K}) {
    for (uint64_t d : {64, 128}) {
      const GpuGdnLayer L(type, d, 2, 4, 256, uint32_t(d + type));
      const GdnWeights w = L.weights();
      for (size_t k = 1; k <= 3; ++k) {
        const Backend dev = device();
        // Two CPU steps first: the device front is seeded from a state with history.
        GdnLayerState s_cpu = new_gdn_state(L.g);
        for (int t = 0; t < 2; ++t) {
          Cols warm{L.x()};
          if (!run(cpu, L, w, 1, s_cpu, warm)) return;
        }
        GdnLayerState s_dev = s_cpu;
        double e = 0;
        bool ok = true;
        for (size_t width : {k, size_t(1)}) {  // the width, then one more step
          Cols x;
          for (size_t j = 0; j < width; ++j) x.push_back(L.x());
          Cols want = x, got = x;
          ok = ok && run(cpu, L, w, 1, s_cpu, want) && run(dev, L, w, 1, s_dev, got);
          if (ok) e = std::max(e, worst(got, want, x));
        }
        const std::string tag = std::string(type_name(type)) + " d " + std::to_string(d) + " width " +
                                std::to_string(k);
        gdn_report(ok && e <= 1e-3, "gdn " + tag, ok ? e : INFINITY, 1e-3);
      }
    }
  }
}

// Armed two columns resolved at `depth`, then a probe, against single calls.
void window_checks() {
  const GpuGdnLayer L(kQ8_0, 128, 2, 4, 256, 5);
  const GdnWeights w = L.weights();
  for (unsigned depth : {0u, 1u}) {
    const Backend armed = device(), plain = device();
    GdnLayerState sa = new_gdn_state(L.g), sp = new_gdn_state(L.g);
    const Cols x = {L.x(), L.x()}, probe = {L.x()};
    Cols ga = x, pa = probe;
    bool ok = spec_arm(armed).ok() && run(armed, L, w, 7, sa, ga) && spec_resolve(armed, depth).ok() &&
              run(armed, L, w, 7, sa, pa);
    Cols gp, pp = probe;
    for (unsigned j = 0; j <= depth && ok; ++j) {
      Cols one = {x[j]};
      ok = run(plain, L, w, 7, sp, one);
      gp.push_back(one[0]);
    }
    ok = ok && run(plain, L, w, 7, sp, pp);
    double e = INFINITY;
    if (ok) {
      const Cols got(ga.begin(), ga.begin() + depth + 1), base(x.begin(), x.begin() + depth + 1);
      e = std::max(worst(got, gp, base), worst(pa, pp, probe));
    }
    gdn_report(ok && e <= 1e-5, "gdn armed width 2 resolved at depth " + std::to_string(depth), e, 1e-5);
  }
}

// A dense W_out has no device product: the output projection runs on the host over the
// downloaded columns, the recurrence before it on the device front.
void dense_out_check() {
  const GpuGdnLayer L(kQ8_0, 128, 2, 4, 256, 9);
  GdnWeights w = L.weights();
  w.out = &L.dense_out;
  const Backend cpu{make_cpu(1)}, dev = device();
  GdnLayerState s_cpu = new_gdn_state(L.g), s_dev = new_gdn_state(L.g);
  double e = 0;
  bool ok = true;
  for (int t = 0; t < 3 && ok; ++t) {
    const Cols x = {L.x()};
    Cols want = x, got = x;
    ok = run(cpu, L, w, 3, s_cpu, want) && run(dev, L, w, 3, s_dev, got);
    if (ok) e = std::max(e, worst(got, want, x));
  }
  gdn_report(ok && e <= 1e-3, "gdn dense W_out on the host, scan on the device", ok ? e : INFINITY, 1e-3);
}

}  // namespace

int gdn_checks() {
  width_checks();
  window_checks();
  dense_out_check();
  return g_gdn_failed;
}

}  // namespace kestrune::gpu
