// Microseconds per layer of the GDN step at the 0.8b geometry (hidden 1024, 16 key and
// 16 value heads of 128, conv kernel 4, Q8_0 and Q4_K projections), with the residual
// uploaded once and kept on the device: one, two and three columns per call, with the
// launches each call issues, and the scan kernel alone (reading and writing the 1 MiB recurrent state
// bounds the step from below).
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "backend/backend.h"
#include "backend/cuda/cuda.h"
#include "backend/cuda/gdn_lanes.h"
#include "gpu_support.h"
#include "model/layers.h"

namespace kestrune::gpu {

namespace {

int g_launches = 0;

int counting_launch(const Launch& l, const KernelArgs& a) {
  ++g_launches;
  return cuda_runtime_api().launch(l, a);
}

// The wide scan alone over a 16-head state: what the state's bandwidth allows.
void scan_figure() {
  const int d = 128, heads = 16;
  DevMem state(size_t(heads) * d * d * 4), in(size_t(4 * heads * d + 2 * heads) * 4), out(size_t(heads) * d * 4);
  cudaMemset(state.p, 0, size_t(heads) * d * d * 4);
  cudaMemset(in.p, 0, size_t(4 * heads * d + 2 * heads) * 4);
  GdnKernelArgs a;
  a.d = d;
  a.n_k = heads;
  a.n_v = heads;
  a.q = in.f();
  a.k = a.q + heads * d;
  a.v = a.k + heads * d;
  a.decay = in.f() + 3 * heads * d;
  a.beta = a.decay + heads;
  a.state_in = state.f();
  a.state_out = state.f();
  a.out = out.f();
  Launch l{Kernel::GdnScanWide};
  l.grid = heads;
  l.block = 256;
  KernelArgs ka;
  ka.ext = &a;
  const DeviceApi& api = cuda_runtime_api();
  for (int i = 0; i < 10; ++i) (void)api.launch(l, ka);
  cudaEvent_t e0, e1;
  cudaEventCreate(&e0);
  cudaEventCreate(&e1);
  const int reps = 1000;
  cudaEventRecord(e0);
  for (int i = 0; i < reps; ++i) (void)api.launch(l, ka);
  cudaEventRecord(e1);
  cudaEventSynchronize(e1);
  float ms = 0;
  cudaEventElapsedTime(&ms, e0, e1);
  cudaEventDestroy(e0);
  cudaEventDestroy(e1);
  const double us = 1e3 * ms / reps;
  std::printf("gdn scan kernel alone, 16 heads x 128: %6.2f us (%.0f GB/s of state read and written)\n", us,
              2.0 * heads * d * d * 4 / (us * 1e3));
}

}  // namespace

void gdn_figures() {
  scan_figure();
  static DeviceApi counting = [] {
    DeviceApi api = cuda_runtime_api();
    api.launch = counting_launch;
    return api;
  }();
  const GdnGeometry g{128, 16, 16, 4, 1e-6f};
  const uint64_t n = 1024;
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(-0.05f, 0.05f);
  auto vec = [&](size_t k, float base) {
    std::vector<float> v(k);
    for (auto& x : v) x = base + u(rng);
    return v;
  };
  const CachedTensor conv{{4, g.channels()}, vec(4 * g.channels(), 0)}, alpha{{n, g.hv}, vec(n * g.hv, 0)},
      beta{{n, g.hv}, vec(n * g.hv, 0)};
  const std::vector<float> norm = vec(n, 1), a = vec(g.hv, -0.5f), dt = vec(g.hv, 0), out_norm = vec(g.d, 1);
  for (uint32_t type : {kQ8_0, kQ4_K}) {
    const TensorInfo qi{"qkv", {n, g.channels()}, type, 0}, zi{"z", {n, g.inner()}, type, 0},
        oi{"out", {g.inner(), n}, type, 0};
    const auto qb = random_rows(type, n, g.channels(), rng), zb = random_rows(type, n, g.inner(), rng),
               ob = random_rows(type, g.inner(), n, rng);
    const GdnWeights w{norm, TensorView{&qi, qb.data(), qb.size()}, &conv, &alpha, &beta, a, dt,
                       TensorView{&zi, zb.data(), zb.size()}, out_norm, TensorView{&oi, ob.data(), ob.size()}};
    for (int k = 1; k <= 3; ++k) {
      const Backend b{make_cuda(counting, 1, false, false)};
      GdnLayerState st = new_gdn_state(g);
      auto up = upload(b, Columns(k, vec(n, 0)));
      if (!up.ok()) {
        std::printf("gdn bench: %s\n", up.error().message.c_str());
        return;
      }
      Activations x = std::move(up).value();
      auto step = [&] { return gdn_layer(b, g, w, 1, st, x, x); };
      for (int i = 0; i < 5; ++i) {
        const Status s = step();
        if (!s.ok()) {
          std::printf("gdn bench: %s\n", s.error().message.c_str());
          return;
        }
      }
      cudaDeviceSynchronize();
      g_launches = 0;
      (void)step();
      const int launches = g_launches;
      const int reps = 500;
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < reps; ++i) (void)step();
      cudaDeviceSynchronize();
      const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
      std::printf("gdn step 0.8b %-5s %d column%s on device: %7.1f us per call (%5.1f us per column, %d launches)\n",
                  type_name(type).c_str(), k, k == 1 ? " " : "s", us / reps, us / reps / k, launches);
    }
  }
}

}  // namespace kestrune::gpu
