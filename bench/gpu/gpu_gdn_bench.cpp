// Microseconds per layer of the GDN step at the 0.8b geometry (hidden 1024, 16 key and
// 16 value heads of 128, conv kernel 4, Q8_0 and Q4_K projections), with the residual
// resident on the device: one, two and three columns per call. Reading and writing the
// 1 MiB recurrent state bounds the step from below.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "backend/backend.h"
#include "backend/cuda/cuda.h"
#include "backend/cuda/gdn.h"
#include "gpu_support.h"

namespace kestrune::gpu {

void gdn_figures() {
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
      Backend b{make_cuda(cuda_runtime_api(), 1, false, false)};
      CudaContext& c = *std::get<Cuda>(b).ctx;
      GdnLayerState st = new_gdn_state(g);
      std::vector<std::vector<float>> x(k, vec(n, 0));
      std::vector<std::span<float>> cols(x.begin(), x.end());
      const Status begun = k == 1   ? token_begin(c, x[0])
                           : k == 2 ? token2_begin(c, x[0], x[1])
                                    : token3_begin(c, x[0], x[1], x[2]);
      if (!begun.ok()) {
        std::printf("gdn bench: %s\n", begun.error().message.c_str());
        return;
      }
      auto step = [&] { return gdn_mixer(b, g, w, 1, st, cols); };
      for (int i = 0; i < 5; ++i) {
        const Status s = step();
        if (!s.ok()) {
          std::printf("gdn bench: %s\n", s.error().message.c_str());
          return;
        }
      }
      cudaDeviceSynchronize();
      const int reps = 500;
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < reps; ++i) (void)step();
      cudaDeviceSynchronize();
      const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
      std::printf("gdn step 0.8b %-5s %d column%s resident: %7.1f us per layer call (%5.1f us per column)\n",
                  type_name(type).c_str(), k, k == 1 ? " " : "s", us / reps, us / reps / k);
    }
  }
}

}  // namespace kestrune::gpu
