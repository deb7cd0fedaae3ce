// Greedy decoding with the draft head at depth 0 (plain), 1 and 2 on the CPU backend,
// on a generated model whose draft head agrees with it on about three quarters of the
// tokens (tools/gen_model.py --agree).
//
//   cmake -S . -B build-bench -DKESTRUNE_BENCH=ON && cmake --build build-bench --target bench_speculative
//   ./build-bench/bench_speculative
//
// KESTRUNE_BENCH_AGREE=/path/model.gguf overrides the generated small-preset model. Each
// iteration prefills a short prompt (not timed) and decodes 64 tokens through the
// command line's loop. Counters: tok/s (generated tokens per second of decoding),
// rounds (speculative rounds per iteration) and accepted/round (accepted drafts per
// round).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "generation/generate.h"
#include "generation/speculative.h"
#include "model/model.h"

namespace {

using namespace kestrune;

constexpr uint64_t kTokens = 64;

std::string model_path(const char* preset) {
  if (const char* p = std::getenv("KESTRUNE_BENCH_AGREE"); p && *p) return p;
  static std::map<std::string, std::string> made;
  if (auto it = made.find(preset); it != made.end()) return it->second;
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrune-bench-agree-" + preset + ".gguf";
  const std::string cmd = std::string("python3 '") + KESTRUNE_SOURCE_DIR + "/tools/gen_model.py' '" + path +
                          "' --preset " + preset + " --seed 1 --agree >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return "";
  made.emplace(preset, path);
  return path;
}

void speculative(benchmark::State& state, const char* preset, SpecMode mode) {
  const std::string path = model_path(preset);
  if (path.empty()) {
    state.SkipWithError("no model: set KESTRUNE_BENCH_AGREE or install python3 with numpy");
    return;
  }
  ::setenv("KESTRUNE_MTP", "1", 1);
  ::setenv("KESTRUNE_WEIGHTS", "lazy", 1);
  // The load lines would interleave with the table.
  const int saved = ::dup(2);
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, 2);
  auto model = load_model(path);
  if (saved >= 0) ::dup2(saved, 2);
  if (null >= 0) ::close(null);
  if (saved >= 0) ::close(saved);
  ::unsetenv("KESTRUNE_MTP");
  ::unsetenv("KESTRUNE_WEIGHTS");
  if (!model.ok()) {
    state.SkipWithError(model.error().message.c_str());
    return;
  }
  const Model& m = **model;
  const std::vector<uint32_t> prompt = {72, 101, 108, 108, 111};
  uint64_t generated = 0, rounds = 0, accepted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    DecodeState st = new_state(m);
    Sampler sampler = make_sampler(0.0f, 0, 1.0f, 0);
    RunReport report;
    auto logits = feed_prompt(speculative_prefill_feed(m, st, mode), prompt, report);
    state.ResumeTiming();
    if (!logits.ok()) {
      state.SkipWithError(logits.error().message.c_str());
      break;
    }
    SpecStepFn step = speculative_step(m, st, sampler, mode);
    DecodeRules rules;
    rules.budget = kTokens;
    EmitFn emit = [](uint32_t) -> Status { return Ok{}; };
    auto run = decode_loop(model_feed(m, st), &step, sampler, std::move(*logits), rules, emit, report);
    if (!run.ok()) {
      state.SkipWithError(run.error().message.c_str());
      break;
    }
    generated += report.generated;
    rounds += report.rounds;
    accepted += report.accepted;
  }
  const double iters = static_cast<double>(state.iterations());
  state.counters["tok/s"] = benchmark::Counter(static_cast<double>(generated), benchmark::Counter::kIsRate);
  state.counters["rounds"] = static_cast<double>(rounds) / iters;
  state.counters["accepted/round"] = rounds ? static_cast<double>(accepted) / static_cast<double>(rounds) : 0.0;
}

}  // namespace

BENCHMARK_CAPTURE(speculative, tiny_depth0, "tiny", SpecMode::Off)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(speculative, tiny_depth1, "tiny", SpecMode::Depth1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(speculative, tiny_depth2, "tiny", SpecMode::Depth2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(speculative, small_depth0, "small", SpecMode::Off)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(speculative, small_depth1, "small", SpecMode::Depth1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(speculative, small_depth2, "small", SpecMode::Depth2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
