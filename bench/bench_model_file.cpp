// Header parsing with a production-size vocabulary, and row dequantization throughput
// per element type (bytes of quantized input per second, one core).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/gguf_builder.h"
#include "gguf/gguf.h"
#include "quant/blocks.h"
#include "quant/types.h"

using namespace kestrune;

namespace {

std::string vocab_file() {
  static std::string path;
  if (!path.empty()) return path;
  std::mt19937 rng(1);
  std::vector<std::string> tokens, merges;
  for (int i = 0; i < 151669; ++i) {
    std::string t;
    int len = 1 + int(rng() % 9);
    for (int k = 0; k < len; ++k) t.push_back(char('a' + rng() % 26));
    tokens.push_back("Ġ" + t);
  }
  for (int i = 0; i < 151387; ++i) merges.push_back(tokens[rng() % 1000] + " " + tokens[rng() % 1000]);
  testing::GgufBuilder b;
  b.header(0, 3).kv_str("general.architecture", "qwen35").kv_str_arr("tokenizer.ggml.tokens", tokens)
      .kv_str_arr("tokenizer.ggml.merges", merges);
  path = "/tmp/kestrune-bench-vocab.gguf";
  b.write(path);
  return path;
}

void BM_OpenGgufVocab(benchmark::State& state) {
  std::string path = vocab_file();
  for (auto _ : state) {
    auto f = open_gguf(path);
    if (!f.ok()) state.SkipWithError(f.error().message.c_str());
    benchmark::DoNotOptimize(f);
  }
}
BENCHMARK(BM_OpenGgufVocab)->Unit(benchmark::kMillisecond);

void BM_Dequant(benchmark::State& state) {
  const auto type = static_cast<uint32_t>(state.range(0));
  const BlockFormat* fmt = block_format(type);
  const uint64_t ne0 = 4096;
  const uint64_t rows = 256;
  const uint64_t row_bytes = ne0 / fmt->values * fmt->bytes;
  std::vector<uint8_t> data(rows * row_bytes);
  std::mt19937 rng(3);
  for (auto& b : data) b = uint8_t(rng());
  // Keep f16 scales finite: clear the top exponent bit wherever a scale lives.
  for (uint64_t blk = 0; blk < data.size() / fmt->bytes; ++blk) {
    uint8_t* p = data.data() + blk * fmt->bytes;
    if (type == kQ8_0 || type == kQ4_K || type == kQ5_K) p[1] &= 0x3b;
    if (type == kQ4_K || type == kQ5_K) p[3] &= 0x3b;
    if (type == kQ6_K) p[209] &= 0x3b;
  }
  std::vector<float> out(ne0);
  for (auto _ : state) {
    for (uint64_t r = 0; r < rows; ++r) {
      auto st = dequant_values(type, data.data() + r * row_bytes, ne0, out.data());
      benchmark::DoNotOptimize(st);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  state.SetLabel(type_name(type));
}
BENCHMARK(BM_Dequant)->Arg(kF16)->Arg(kQ8_0)->Arg(kQ4_K)->Arg(kQ5_K)->Arg(kQ6_K);

}  // namespace

BENCHMARK_MAIN();
