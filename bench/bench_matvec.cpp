// Matrix-vector product throughput per element type, one core: the reference loop
// against the many-rows kernels. Bytes are weight bytes read per product; the fast
// rows also report `speedup`, their time over the reference's on the same shape. For
// the quantized types they also run the same product over the packed copy, timed
// interleaved with the plain rows (best of 7 each): G weights/s of both
// (`plain_gw`, `packed_gw`), time-stamp-counter cycles per 16 weights (`plain_c16`,
// `packed_c16`) and `packed_x`, plain time over packed.
#include <benchmark/benchmark.h>
#include <x86intrin.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/repack.h"
#include "quant/types.h"

using namespace kestrune;

namespace {

struct Shape {
  uint64_t rows, ne0;
};
// A projection and a logits head of a small model.
const Shape kShapes[] = {{1024, 4096}, {248320, 1024}};
const uint32_t kTypes[] = {kF32, kF16, kQ8_0, kQ4_K, kQ5_K, kQ6_K};

struct Weights {
  TensorInfo info;
  std::vector<uint8_t> data;
};

uint64_t next(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

// Random blocks with finite scales; one matrix is kept at a time (the heads are large).
const Weights& weights(uint32_t type, const Shape& shape) {
  static std::unique_ptr<Weights> held;
  static uint32_t held_type = ~0u;
  static uint64_t held_rows = 0;
  if (held && held_type == type && held_rows == shape.rows) return *held;
  held.reset();
  auto w = std::make_unique<Weights>();
  const BlockFormat* fmt = block_format(type);
  w->info = TensorInfo{"w", {shape.ne0, shape.rows}, type, 0};
  const uint64_t blocks = shape.ne0 / fmt->values * shape.rows;
  w->data.resize(blocks * fmt->bytes + 8);
  uint64_t s = 0x9e3779b97f4a7c15ull;
  for (size_t i = 0; i + 8 <= w->data.size(); i += 8) {
    const uint64_t v = next(s);
    std::memcpy(&w->data[i], &v, 8);
  }
  w->data.resize(blocks * fmt->bytes);
  auto half = [](uint8_t* p) { p[1] = uint8_t((p[1] & 0x83) | 0x20); };  // exponent 8..11
  for (uint64_t b = 0; b < blocks; ++b) {
    uint8_t* p = w->data.data() + b * fmt->bytes;
    switch (type) {
      case kF32:
        p[3] = uint8_t((p[3] & 0x80) | 0x3e);  // about +-0.1 .. 0.5
        break;
      case kF16:
      case kQ8_0:
        half(p);
        break;
      case kQ4_K:
      case kQ5_K:
        half(p);
        half(p + 2);
        break;
      case kQ6_K:
        half(p + 208);
        break;
    }
  }
  held = std::move(w);
  held_type = type;
  held_rows = shape.rows;
  return *held;
}

std::vector<float> input(uint64_t n) {
  std::vector<float> x(n);
  for (uint64_t i = 0; i < n; ++i) x[i] = 0.001f * float(i % 997) - 0.5f;
  return x;
}

struct Timing {
  double seconds = 1e30;
  double ticks = 1e30;  // time-stamp counter
};

void time_once(MatvecIsa isa, const TensorView& view, const std::vector<float>& x, std::vector<float>& y, Timing& best) {
  const auto t0 = std::chrono::steady_clock::now();
  const uint64_t c0 = __rdtsc();
  (void)matvec_rows_isa(isa, view, x, y);
  const double ticks = double(__rdtsc() - c0);
  const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (dt < best.seconds) best = {dt, ticks};
}

double seconds_per_product(MatvecIsa isa, const TensorView& view, const std::vector<float>& x, std::vector<float>& y) {
  double best = 1e30;
  for (int k = 0; k < 3; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    (void)matvec_rows_isa(isa, view, x, y);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (dt < best) best = dt;
  }
  return best;
}

void BM_Matvec(benchmark::State& state) {
  const auto type = static_cast<uint32_t>(state.range(0));
  const Shape shape = kShapes[state.range(1)];
  const auto isa = static_cast<MatvecIsa>(state.range(2));
  if (!matvec_isa_supported(isa)) {
    state.SkipWithError("ISA not supported on this CPU");
    return;
  }
  const Weights& w = weights(type, shape);
  const TensorView view{&w.info, w.data.data(), w.data.size()};
  const auto x = input(shape.ne0);
  std::vector<float> y(shape.rows);
  for (auto _ : state) {
    auto st = matvec_rows_isa(isa, view, x, y);
    if (!st.ok()) state.SkipWithError(st.error().message.c_str());
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(w.data.size()));
  state.SetLabel(std::string(type_name(type)) + " " + std::to_string(shape.rows) + "x" + std::to_string(shape.ne0) +
                 " " + matvec_isa_name(isa));
  if (isa != MatvecIsa::kScalar) {
    const double fast = seconds_per_product(isa, view, x, y);
    const double ref = seconds_per_product(MatvecIsa::kScalar, view, x, y);
    state.counters["speedup"] = ref / fast;
  }
  if (isa != MatvecIsa::kScalar && packable_type(type)) {
    auto packed = repack_tensor(view, false);
    if (!packed.ok()) return state.SkipWithError(packed.error().message.c_str());
    TensorView pv = view;
    pv.packed = &(*packed)->rows;
    Timing plain, pack;
    for (int k = 0; k < 15; ++k) {
      time_once(isa, view, x, y, plain);
      time_once(isa, pv, x, y, pack);
    }
    const double weights = double(shape.rows) * double(shape.ne0);
    state.counters["plain_gw"] = weights / plain.seconds * 1e-9;
    state.counters["packed_gw"] = weights / pack.seconds * 1e-9;
    state.counters["plain_c16"] = plain.ticks / (weights / 16);
    state.counters["packed_c16"] = pack.ticks / (weights / 16);
    state.counters["packed_x"] = plain.seconds / pack.seconds;
  }
}

void Args(benchmark::internal::Benchmark* b) {
  for (uint32_t type : kTypes) {
    for (int shape = 0; shape < 2; ++shape) {
      for (MatvecIsa isa : {MatvecIsa::kScalar, MatvecIsa::kAvx2, MatvecIsa::kAvx512}) {
        if (isa == MatvecIsa::kScalar && shape == 1) continue;  // minutes per head, nothing new
        b->Args({int64_t(type), shape, int64_t(isa)});
      }
    }
  }
}

}  // namespace

BENCHMARK(BM_Matvec)->Apply(Args)->ArgNames({"type", "shape", "isa"})->Unit(benchmark::kMillisecond)->MinTime(0.3);

BENCHMARK_MAIN();
