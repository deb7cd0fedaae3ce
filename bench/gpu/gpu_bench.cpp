// Device figures: the device-to-device copy bandwidth (the ceiling), matvec GB/s of
// quantized weight per format at the 0.8B and 9B shapes, and greedy decode tokens/s at
// batch 1 of each model (plain, and with the draft head at depth 1 and 2 when the model
// has one). Kernel times with events, median of repeats; decode with the wall clock.
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
#include "model/mtp.h"
#include "model/speculative.h"
#include "sampler/sampler.h"

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

uint32_t argmax(const std::vector<float>& v) { return uint32_t(std::max_element(v.begin(), v.end()) - v.begin()); }

// Greedy tokens per second after a short prompt: plain forward steps (depth 0) or
// speculative rounds at `depth`. A first run uploads every weight; the second is timed.
void decode_figure(const std::string& path, unsigned depth) {
  if (depth > 0) setenv("KESTRUNE_MTP", "1", 1);
  auto m = load_on(path, "cuda");
  unsetenv("KESTRUNE_MTP");
  if (!m) return;
  if (depth > 0 && !m->switches.speculative) return;
  const std::string name = path.substr(path.rfind('/') + 1);
  const size_t n = 128;
  double seconds = 0;
  uint64_t rounds = 0;
  size_t n_emitted = 0;
  for (int run = 0; run < 2; ++run) {
    DecodeState st = new_state(*m);
    Sampler sampler = make_sampler(0.0f, 0, 1.0f, 0);
    std::vector<float> logits;
    for (uint32_t t : {1u, 300u, 17u, 42u}) {
      auto l = depth == 0 ? forward(*m, st, t) : forward_mtp(*m, st, t);
      if (!l.ok()) {
        std::printf("decode %s: %s\n", name.c_str(), l.error().message.c_str());
        return;
      }
      logits = std::move(l).value();
    }
    std::vector<uint32_t> out = {argmax(logits)};
    rounds = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (out.size() < n) {
      if (depth == 0) {
        auto l = forward(*m, st, out.back());
        if (!l.ok()) {
          std::printf("decode %s: %s\n", name.c_str(), l.error().message.c_str());
          return;
        }
        out.push_back(argmax(*l));
        continue;
      }
      auto r = speculative_round(*m, depth, out.back(), st, sampler);
      if (!r.ok()) {
        std::printf("decode %s: %s\n", name.c_str(), r.error().message.c_str());
        return;
      }
      ++rounds;
      out.insert(out.end(), r->accepted.begin(), r->accepted.end());
      out.push_back(r->next);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    n_emitted = out.size() - 1;
  }
  if (depth == 0) {
    std::printf("decode %s: %.1f tok/s plain\n", name.c_str(), double(n_emitted) / seconds);
  } else {
    std::printf("decode %s: %.1f tok/s speculative depth %u (%.2f tokens per round)\n", name.c_str(),
                double(n_emitted) / seconds, depth, double(n_emitted) / double(rounds));
  }
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
  for (int i = 1; i < argc; ++i) {
    for (unsigned depth : {0u, 1u, 2u}) decode_figure(argv[i], depth);
  }
  return 0;
}
