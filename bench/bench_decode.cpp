// Decode throughput and peak memory of the scalar reference on a 0.8B-shaped model.
//
//   cmake -S . -B build-bench -DKESTRUNE_BENCH=ON && cmake --build build-bench --target bench_decode
//   KESTRUNE_BENCH_Q8_0=/path/q8_0.gguf KESTRUNE_BENCH_Q4K_MIX=/path/q4k_mix.gguf ./build-bench/bench_decode
//
// Without the variables the models are generated once into $TMPDIR (or /tmp) with
//   python3 tools/gen_model.py FILE --preset 0.8b --types q8_0|q4k-mix
// which takes a few minutes and about 1.2 GB of disk. Each benchmark loads its model
// outside the timed loop, then feeds one token per iteration; tok/s is the rate of
// forward calls and peak_rss_mib the process's maximum resident set so far, mapped file
// pages included; load_s is the model load, quantized weights' repacking included. For
// one configuration's own peak run it alone, e.g.
//   ./build-bench/bench_decode --benchmark_filter=q4k_mix_lazy
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "bench_models.h"
#include "model/forward.h"
#include "model/model.h"

namespace {


double peak_rss_mib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

void decode(benchmark::State& state, const char* env, const char* types, const char* weights) {
  const std::string path = model_path(env, types);
  if (path.empty()) {
    state.SkipWithError("no model: set the path variable or install python3 with numpy");
    return;
  }
  ::setenv("KESTRUNE_WEIGHTS", weights, 1);
  const auto t0 = std::chrono::steady_clock::now();
  auto model = kestrune::load_model(path);
  const double load_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ::unsetenv("KESTRUNE_WEIGHTS");
  if (!model.ok()) {
    state.SkipWithError(model.error().message.c_str());
    return;
  }
  kestrune::DecodeState st = kestrune::new_state(**model);
  uint32_t token = 1;
  for (auto _ : state) {
    auto logits = kestrune::forward(**model, st, token);
    if (!logits.ok()) {
      state.SkipWithError(logits.error().message.c_str());
      break;
    }
    benchmark::DoNotOptimize(logits->data());
    token = (token * 7 + 13) % 1000;
  }
  state.counters["tok/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peak_rss_mib"] = peak_rss_mib();
  state.counters["load_s"] = load_s;
}

}  // namespace

BENCHMARK_CAPTURE(decode, q8_0_lazy, "KESTRUNE_BENCH_Q8_0", "q8_0", "lazy")
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(decode, q4k_mix_lazy, "KESTRUNE_BENCH_Q4K_MIX", "q4k-mix", "lazy")
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(decode, q8_0_eager, "KESTRUNE_BENCH_Q8_0", "q8_0", "eager")
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
