// Device figures: the device-to-device copy bandwidth (the ceiling), matvec GB/s of
// quantized weight per format at the 0.8B and 9B shapes, and decode tokens/s of a model
// with every product on the device. Times with events, median of repeats.
//
//   kestrune_gpu_bench [MODEL.gguf]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "backend/cuda/cuda.h"
#include "backend/cuda/matvec.h"
#include "gpu_support.h"
#include "model/forward.h"

namespace kestrune::gpu {
namespace {

// Median milliseconds of `reps` runs of fn, after warm-up.
template <class F>
float median_ms(int reps, F&& fn) {
  cudaEvent_t a, b;
  cudaEventCreate(&a);
  cudaEventCreate(&b);
  for (int i = 0; i < 3; ++i) fn();
  std::vector<float> ms;
  for (int i = 0; i < reps; ++i) {
    cudaEventRecord(a);
    fn();
    cudaEventRecord(b);
    cudaEventSynchronize(b);
    float t = 0;
    cudaEventElapsedTime(&t, a, b);
    ms.push_back(t);
  }
  cudaEventDestroy(a);
  cudaEventDestroy(b);
  std::nth_element(ms.begin(), ms.begin() + ms.size() / 2, ms.end());
  return ms[ms.size() / 2];
}

double copy_bandwidth() {
  const size_t bytes = size_t(1) << 30;
  DevMem a(bytes), b(bytes);
  const float ms = median_ms(10, [&] { cudaMemcpy(b.p, a.p, bytes, cudaMemcpyDeviceToDevice); });
  return 2.0 * bytes / (ms * 1e6);  // read + write
}

void matvec_figures(double ceiling) {
  struct Shape {
    const char* name;
    uint32_t rows, cols;
  };
  const Shape shapes[] = {
      {"0.8b ffn up", 3584, 1024},    {"0.8b ffn down", 1024, 3584}, {"0.8b head", 248320, 1024},
      {"9b ffn up", 12288, 4096},     {"9b ffn down", 4096, 12288},  {"9b attn q", 8192, 4096},
  };
  const uint32_t types[] = {kQ8_0, kQ4_K, kQ5_K, kQ6_K};
  std::mt19937 rng(1);
  for (bool x8 : {false, true}) {
    Cuda cuda = make_cuda(cuda_runtime_api(), 1, x8, false);
    for (const Shape& s : shapes) {
      for (uint32_t t : types) {
        if (x8 && t != kQ4_K) continue;
        const auto w = random_rows(t, s.cols, s.rows, rng);
        std::vector<float> x(s.cols, 0.5f);
        DevMem dw(w.data(), w.size()), dx(x.data(), x.size() * 4), dy(size_t(s.rows) * 4);
        const DeviceFormat fmt = device_shape(TensorInfo{"w", {s.cols, s.rows}, t, 0}, w.size())->fmt;
        const float ms = median_ms(50, [&] {
          (void)dev_matvec(*cuda.ctx, fmt, dw.p, dx.f(), dy.f(), int(s.cols), int(s.rows));
        });
        const double gbs = w.size() / (ms * 1e6);
        std::printf("matvec %-14s %-5s%s %6u x %-5u %8.1f us %7.1f GB/s (%4.1f%% of copy)\n", s.name,
                    type_name(t).c_str(), x8 ? " x8" : "   ", s.rows, s.cols, ms * 1e3, gbs, 100 * gbs / ceiling);
      }
    }
  }
}

void decode_figure(const std::string& path) {
  auto m = load_on(path, "cuda");
  if (!m) return;
  DecodeState st = new_state(*m);
  uint32_t token = 1;
  for (int i = 0; i < 4; ++i) {  // uploads every weight
    auto l = forward(*m, st, token);
    if (!l.ok()) {
      std::printf("decode: %s\n", l.error().message.c_str());
      return;
    }
  }
  const int n = 64;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    auto l = forward(*m, st, token);
    if (!l.ok()) {
      std::printf("decode: %s\n", l.error().message.c_str());
      return;
    }
    token = uint32_t(std::max_element(l->begin(), l->end()) - l->begin());
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("decode %s: %.1f tok/s (every product on the device, layer math on the host)\n",
              path.substr(path.rfind('/') + 1).c_str(), n / s);
}

}  // namespace
}  // namespace kestrune::gpu

namespace kestrune::gpu {
void gdn_figures();  // gpu_gdn_bench.cpp
}

int main(int argc, char** argv) {
  using namespace kestrune::gpu;
  std::string what;
  if (!device_visible(what)) {
    std::printf("SKIP: no CUDA device visible (%s); GPU benchmarks not run\n", what.c_str());
    return 0;
  }
  const double ceiling = copy_bandwidth();
  std::printf("device: %s, device-to-device copy %.0f GB/s\n", what.c_str(), ceiling);
  matvec_figures(ceiling);
  gdn_figures();
  for (int i = 1; i < argc; ++i) decode_figure(argv[i]);
  return 0;
}
