// Prompt throughput on a 0.8B-shaped model with streamed (lazy) weights: one forward
// call per token against batched prefill, with one and two threads.
//
//   cmake -S . -B build-bench -DKESTRUNE_BENCH=ON && cmake --build build-bench --target bench_prefill
//   KESTRUNE_BENCH_Q8_0=/path/q8_0.gguf KESTRUNE_BENCH_Q4K_MIX=/path/q4k_mix.gguf ./build-bench/bench_prefill
//
// Without the path variables the models are generated once into $TMPDIR (or /tmp), as
// bench_decode does. KESTRUNE_BENCH_PROMPT sets the prompt length (default 512). Each
// benchmark loads its model outside the timed loop and feeds the whole prompt once;
// tok/s is prompt tokens per second. After the table a summary prints the batched /
// token-at-a-time and two-thread / one-thread ratios, and checks that every run of a
// model ended with the same logits bits.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench_models.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/prefill.h"

namespace {


size_t prompt_length() {
  const char* v = std::getenv("KESTRUNE_BENCH_PROMPT");
  const long n = v ? std::atol(v) : 0;
  return n > 0 ? static_cast<size_t>(n) : 512;
}

uint64_t fnv1a(const std::vector<float>& v) {
  uint64_t h = 1469598103934665603ull;
  for (float f : v) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    for (int i = 0; i < 4; ++i) {
      h ^= (u >> (8 * i)) & 0xff;
      h *= 1099511628211ull;
    }
  }
  return h;
}

// (types, batched, threads) -> hash of the final logits, for the summary.
std::map<std::tuple<std::string, bool, int>, uint64_t>& logits_hashes() {
  static std::map<std::tuple<std::string, bool, int>, uint64_t> r;
  return r;
}

void prefill_bench(benchmark::State& state, const char* env, const char* types, bool batched, int threads) {
  const std::string path = model_path(env, types);
  if (path.empty()) {
    state.SkipWithError("no model: set the path variable or install python3 with numpy");
    return;
  }
  const std::string nthreads = std::to_string(threads);
  ::setenv("KESTRUNE_WEIGHTS", "lazy", 1);
  ::setenv("KESTRUNE_THREADS", nthreads.c_str(), 1);
  auto model = kestrune::load_model(path);
  ::unsetenv("KESTRUNE_WEIGHTS");
  ::unsetenv("KESTRUNE_THREADS");
  if (!model.ok()) {
    state.SkipWithError(model.error().message.c_str());
    return;
  }
  const kestrune::Model& m = **model;
  std::vector<uint32_t> prompt(prompt_length());
  for (size_t i = 0; i < prompt.size(); ++i) prompt[i] = static_cast<uint32_t>((i * 7919 + 13) % 499);

  std::vector<float> logits;
  for (auto _ : state) {
    kestrune::DecodeState st = kestrune::new_state(m);
    if (batched) {
      auto l = kestrune::prefill(m, st, prompt);
      if (!l.ok()) {
        state.SkipWithError(l.error().message.c_str());
        return;
      }
      logits = std::move(l).value();
    } else {
      for (uint32_t t : prompt) {
        auto l = kestrune::forward(m, st, t);
        if (!l.ok()) {
          state.SkipWithError(l.error().message.c_str());
          return;
        }
        logits = std::move(l).value();
      }
    }
    benchmark::DoNotOptimize(logits.data());
  }
  const double tokens = static_cast<double>(prompt.size() * state.iterations());
  state.counters["tok/s"] = benchmark::Counter(tokens, benchmark::Counter::kIsRate);
  state.counters["prompt"] = static_cast<double>(prompt.size());
  logits_hashes()[{types, batched, threads}] = fnv1a(logits);
  state.SetLabel(batched ? "batched" : "token at a time");
}

// Keeps each run's measured rate for the summary.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      auto it = r.counters.find("tok/s");
      if (it == r.counters.end()) continue;
      last_rate_[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // The rate of the benchmark whose name starts with `prefix`; 0 if it did not run.
  double rate(const std::string& prefix) const {
    for (const auto& [name, value] : last_rate_) {
      if (name.rfind(prefix, 0) == 0) return value;
    }
    return 0;
  }

 private:
  std::map<std::string, double> last_rate_;
};

std::string fixed(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

std::string bench_name(const std::string& types, bool batched, int threads) {
  std::string t = types == "q4k-mix" ? "q4k_mix" : types;
  return "prefill/" + t + (batched ? "_batched" : "_token_loop") + "_threads" + std::to_string(threads) + "/";
}

void summary(const Recorder& rec) {
  std::printf("\nsummary (prompt %zu tokens, lazy weights)\n", prompt_length());
  for (const char* types : {"q8_0", "q4k-mix"}) {
    auto rate = [&](bool batched, int threads) { return rec.rate(bench_name(types, batched, threads)); };
    const double t1 = rate(false, 1), t2 = rate(false, 2), b1 = rate(true, 1), b2 = rate(true, 2);
    if (t1 <= 0 && b1 <= 0) continue;
    auto shown = [](double r) { return r > 0 ? fixed(r) : std::string("-"); };
    std::printf("%-8s tok/s  token at a time: %s (1 thread), %s (2 threads) | batched: %s (1 thread), %s (2 threads)\n",
                types, shown(t1).c_str(), shown(t2).c_str(), shown(b1).c_str(), shown(b2).c_str());
    if (t1 > 0 && b1 > 0) std::printf("%-8s batched / token-at-a-time, 1 thread: %.2fx\n", types, b1 / t1);
    if (t2 > 0 && b2 > 0) std::printf("%-8s batched / token-at-a-time, 2 threads: %.2fx\n", types, b2 / t2);
    if (b1 > 0 && b2 > 0) std::printf("%-8s batched, 2 threads / 1 thread: %.2fx\n", types, b2 / b1);
    bool same = true, any = false;
    uint64_t first = 0;
    for (const auto& [key, hash] : logits_hashes()) {
      if (std::get<0>(key) != types) continue;
      if (!any) first = hash;
      any = true;
      same = same && hash == first;
    }
    if (any) std::printf("%-8s final logits of every run: %s\n", types, same ? "bit-identical" : "DIFFER");
  }
}

}  // namespace

#define PREFILL_BENCH(name, env, types, batched, threads)                       \
  BENCHMARK_CAPTURE(prefill_bench, name, env, types, batched, threads)         \
      ->Name("prefill/" #name)                                                 \
      ->Iterations(1)                                                          \
      ->Unit(benchmark::kSecond)                                               \
      ->UseRealTime()

PREFILL_BENCH(q8_0_token_loop_threads1, "KESTRUNE_BENCH_Q8_0", "q8_0", false, 1);
PREFILL_BENCH(q8_0_batched_threads1, "KESTRUNE_BENCH_Q8_0", "q8_0", true, 1);
PREFILL_BENCH(q8_0_token_loop_threads2, "KESTRUNE_BENCH_Q8_0", "q8_0", false, 2);
PREFILL_BENCH(q8_0_batched_threads2, "KESTRUNE_BENCH_Q8_0", "q8_0", true, 2);
PREFILL_BENCH(q4k_mix_token_loop_threads1, "KESTRUNE_BENCH_Q4K_MIX", "q4k-mix", false, 1);
PREFILL_BENCH(q4k_mix_batched_threads1, "KESTRUNE_BENCH_Q4K_MIX", "q4k-mix", true, 1);
PREFILL_BENCH(q4k_mix_token_loop_threads2, "KESTRUNE_BENCH_Q4K_MIX", "q4k-mix", false, 2);
PREFILL_BENCH(q4k_mix_batched_threads2, "KESTRUNE_BENCH_Q4K_MIX", "q4k-mix", true, 2);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Recorder rec;
  benchmark::RunSpecifiedBenchmarks(&rec);
  summary(rec);
  benchmark::Shutdown();
  return 0;
}
