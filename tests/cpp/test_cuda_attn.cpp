// The attention, feed-forward and head layers on the CUDA backend over the fake device
// and the emulated kernels: their per-thread arithmetic against the CPU reference, every
// refusal, the fallbacks, and whole models with the host transfers of a token counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/attention.h"
#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/attention.h"
#include "backend/cuda/cuda.h"
#include "backend/cuda/ops.h"
#include "emulator/emulator.h"
#include "fake_device.h"
#include "generation/generate.h"
#include "model/forward.h"
#include "model/layers.h"
#include "model/model.h"
#include "model/prefill.h"
#include "model_fixture.h"
#include "numerics/scalar.h"
#include "quant/types.h"
#include "spec_support.h"

namespace kestrune {
namespace {

using testing::fake;
using testing::fake_api;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

std::vector<float> normal(size_t n, std::mt19937& rng, float sd = 1.0f) {
  std::normal_distribution<float> nd(0.0f, sd);
  std::vector<float> v(n);
  for (auto& x : v) x = nd(rng);
  return v;
}

TEST(CudaAttnLanes, MatchTheCpuReference) {
  std::mt19937 rng(5);
  struct Rope {
    int head_dim, rope_dim;
    uint32_t pos;
    float theta;
  };
  for (const Rope r : {Rope{8, 8, 0, 10000.0f}, Rope{16, 8, 10, 10000.0f}, Rope{16, 0, 5, 1e6f},
                       Rope{128, 32, 4095, 1e7f}}) {
    const auto v = normal(size_t(r.head_dim), rng);
    std::vector<float> want = v;
    rope_rotate(want, uint64_t(r.rope_dim), r.theta, r.pos);
    const std::vector<float> freqs = rope_frequencies(uint64_t(r.rope_dim), r.theta);
    for (int i = 0; i < r.head_dim; ++i) {
      ASSERT_EQ(bits(lanes::rope_element(v.data(), i, r.rope_dim, freqs.data(), r.pos)), bits(want[size_t(i)]))
          << "rope " << r.head_dim << "/" << r.rope_dim << " pos " << r.pos << " i " << i;
    }
  }
  const auto x = normal(300, rng), w = normal(300, rng);
  auto want = rms_norm(x, w, 1e-6f);
  const float inv = lanes::rms_inverse(dot(x, x), 300, 1e-6f);
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(bits(lanes::rms_element(x[i], inv, w[i])), bits((*want)[i])) << i;
  // Gate and SwiGLU: the same function as the reference in another association.
  for (float g : {-30.0f, -2.5f, -0.1f, 0.0f, 0.7f, 3.0f, 40.0f}) {
    for (float o : {-1.5f, 0.25f, 8.0f}) {
      EXPECT_NEAR(lanes::gate_output(o, g), sigmoid(g) * o, 2e-7f * (1 + std::fabs(o))) << g << " " << o;
      EXPECT_NEAR(lanes::swiglu(g, o), silu(g) * o, 4e-7f * (1 + std::fabs(g * o))) << g << " " << o;
    }
  }
  EXPECT_EQ(lanes::softmax_term(2.0f, 2.0f), 1.0f);
}

// A Q8_0 matrix in host memory, or with `f16` an F16 one (never eligible).
struct QMatrix {
  TensorInfo info;
  std::vector<uint8_t> bytes;
  QMatrix(uint64_t cols, uint64_t rows, std::mt19937& rng, bool f16 = false)
      : info{"w", {cols, rows}, f16 ? kF16 : kQ8_0, 0} {
    if (f16) {
      bytes.resize(cols * rows * 2);
      for (size_t i = 0; i < bytes.size(); i += 2) {
        bytes[i] = uint8_t(rng());
        bytes[i + 1] = uint8_t(0x20 + rng() % 8 + (rng() % 2 ? 0x80 : 0));  // |w| around 2^-7
      }
      return;
    }
    bytes.resize(cols / 32 * rows * 34);
    for (auto& b : bytes) b = uint8_t(rng());
    for (size_t k = 0; k < bytes.size(); k += 34) {
      bytes[k] = 0;
      bytes[k + 1] = uint8_t(0x1c + rng() % 4);  // d in [2^-8, 2^-6)
    }
  }
  Matrix m() const { return TensorView{&info, bytes.data(), bytes.size()}; }
};

// One attention layer: hidden 64, 4 query heads over 2 kv heads of 16, 8 rotated dims.
struct AttnLayer {
  AttentionGeometry g{16, 4, 2, 8, 10000.0f, 1e-6f};
  QMatrix q, k, v, out;
  std::vector<float> norm, q_norm, k_norm;
  explicit AttnLayer(std::mt19937& rng, bool f16_out = false)
      : q(64, 128, rng), k(64, 32, rng), v(64, 32, rng), out(64, 64, rng, f16_out),
        norm(normal(64, rng)), q_norm(normal(16, rng)), k_norm(normal(16, rng)) {}
  AttnWeights weights() const { return {norm, q.m(), k.m(), v.m(), q_norm, k_norm, out.m()}; }
};

Columns random_columns(size_t k, size_t n, std::mt19937& rng) {
  Columns xs;
  for (size_t j = 0; j < k; ++j) xs.push_back(normal(n, rng));
  return xs;
}

double rel_error(const Columns& got, const Columns& want) {
  double num = 0, den = 0;
  for (size_t j = 0; j < want.size(); ++j) {
    for (size_t i = 0; i < want[j].size(); ++i) {
      num += std::pow(double(got[j][i]) - want[j][i], 2);
      den += std::pow(double(want[j][i]), 2);
    }
  }
  return std::sqrt(num / den);
}

// First call at pos 10 over a 10-position host cache, every width,
// then one more position on the device cache the first call left.
TEST(CudaAttn, EveryWidthMatchesTheCpuMixerFromASeededCache) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    std::mt19937 rng(21);
    const Backend cpu{make_cpu(1)};
    for (bool f16_out : {false, true}) {
      const AttnLayer layer(rng, f16_out);
      const AttnWeights w = layer.weights();
      KvCache seed;
      for (uint32_t p = 0; p < 10; ++p) {
        Columns x = random_columns(1, 64, rng);
        ASSERT_TRUE(attn_mixer(cpu, layer.g, w, p, 0, seed, column_spans_mut(x)).ok());
      }
      for (size_t k = 1; k <= 3; ++k) {
        {
          const Backend cuda{make_cuda(device.api(), 1, false, false)};
          CudaContext& c = *std::get<Cuda>(cuda).ctx;
          KvCache kv_cpu = seed, kv_dev = seed;
          Columns want = random_columns(k, 64, rng), got = want;
          ASSERT_TRUE(attn_mixer(cpu, layer.g, w, 10, 0, kv_cpu, column_spans_mut(want)).ok());
          const Status st = attn_mixer(cuda, layer.g, w, 10, 77, kv_dev, column_spans_mut(got));
          ASSERT_TRUE(st.ok()) << st.error().message;
          const std::string what = "width " + std::to_string(k) + (f16_out ? " f16 out" : "");
          EXPECT_LT(rel_error(got, want), 1e-5) << what;
          // The device reads the host cache once and leaves it as it was, whatever the
          // output projection's format.
          EXPECT_EQ(kv_dev.k.size(), seed.k.size()) << what;
          EXPECT_EQ(c.layers->attn.count(77), 1u) << what;
          Columns next_want = random_columns(1, 64, rng), next_got = next_want;
          ASSERT_TRUE(attn_mixer(cpu, layer.g, w, uint32_t(10 + k), 0, kv_cpu, column_spans_mut(next_want)).ok());
          ASSERT_TRUE(attn_mixer(cuda, layer.g, w, uint32_t(10 + k), 77, kv_dev, column_spans_mut(next_got)).ok());
          EXPECT_LT(rel_error(next_got, next_want), 1e-5) << what << ", next position";
        }
      }
    }
  }
}

// One feed-forward block: hidden 64, ff 96.
struct FfnLayer {
  QMatrix gate, up, down;
  std::vector<float> norm;
  explicit FfnLayer(std::mt19937& rng, bool f16_down = false)
      : gate(64, 96, rng), up(64, 96, rng), down(96, 64, rng, f16_down), norm(normal(64, rng)) {}
  FfnWeights weights() const { return {norm, gate.m(), up.m(), down.m()}; }
};

// Seeded host caches around the core kernel's chunk and the split kernel's threshold;
// the launches show which kernel attended each column.
TEST(CudaAttn, LongContextsMatchTheCpuMixerOnEitherKernel) {
  std::mt19937 rng(33);
  const Backend cpu{make_cpu(1)};
  const AttnLayer layer(rng);
  const AttnWeights w = layer.weights();
  KvCache seed;
  uint32_t seeded = 0;
  for (uint32_t pos : {1u, 255u, 257u, uint32_t(lanes::kAttnSplitFrom) - 2, 2500u}) {
    for (; seeded < pos; ++seeded) {
      Columns x = random_columns(1, 64, rng);
      ASSERT_TRUE(attn_mixer(cpu, layer.g, w, seeded, 0, seed, column_spans_mut(x)).ok());
    }
    for (const auto& device : testing::kTestDevices) {
      const std::string what = std::string(device.name) + " pos " + std::to_string(pos);
      const Backend cuda{make_cuda(device.api(), 1, false, false)};
      KvCache kv_cpu = seed, kv_dev = seed;
      Columns want = random_columns(3, 64, rng), got = want;
      ASSERT_TRUE(attn_mixer(cpu, layer.g, w, pos, 0, kv_cpu, column_spans_mut(want)).ok());
      const Status st = attn_mixer(cuda, layer.g, w, pos, 5, kv_dev, column_spans_mut(got));
      ASSERT_TRUE(st.ok()) << what << ": " << st.error().message;
      EXPECT_LT(rel_error(got, want), 1e-5) << what;
      std::vector<uint32_t> chunks, want_chunks;  // 0 for the core
      for (const Launch& l : fake().launched) {
        if (l.kernel == Kernel::AttnCore || l.kernel == Kernel::AttnSplit) chunks.push_back(l.kernel == Kernel::AttnCore ? 0 : l.grid_y);
      }
      for (uint32_t n_pos = pos + 1; n_pos <= pos + 3; ++n_pos) {
        want_chunks.push_back(int(n_pos) < lanes::kAttnSplitFrom ? 0 : uint32_t(lanes::attn_split_count(int(n_pos))));
      }
      EXPECT_EQ(chunks, want_chunks) << what;
    }
  }
}

// The cache grows geometrically and the scratch with it: a token at a position the
// cache already holds allocates nothing.
TEST(CudaAttn, AllocationsStayFlatAcrossTokens) {
  std::mt19937 rng(3);
  const AttnLayer layer(rng);
  const Backend cuda{make_cuda(fake_api(), 1, false, false)};
  KvCache kv;
  std::vector<uint32_t> growing;
  for (uint32_t pos = 0; pos < 300; ++pos) {
    Columns x = random_columns(1, 64, rng);
    const int before = fake().mallocs;
    ASSERT_TRUE(attn_mixer(cuda, layer.g, layer.weights(), pos, 2, kv, column_spans_mut(x)).ok());
    if (pos > 0 && fake().mallocs != before) growing.push_back(pos);
  }
  EXPECT_EQ(growing, (std::vector<uint32_t>{64, 128, 256}));
}

// With launches waited for, a fault is reported at the kernel that made it, by name.
int g_sync_calls = 0;
int fault_after_core() {
  ++g_sync_calls;
  return fake().launched.back().kernel == Kernel::AttnCore ? 700 : 0;
}

TEST(CudaChains, SynchronizedLaunchesNameTheFaultingKernel) {
  std::mt19937 rng(2);
  const AttnLayer layer(rng);
  DeviceApi api = fake_api();
  api.synchronize = fault_after_core;
  const Backend cuda{make_cuda(api, 1, false, false)};
  KvCache kv;
  Columns x = random_columns(1, 64, rng);
  const Status st = attn_mixer(cuda, layer.g, layer.weights(), 0, 1, kv, column_spans_mut(x));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message,
            "cuda: attn core launch (attn_core_kernel): an illegal memory access was encountered (code 700)");
  EXPECT_EQ(g_sync_calls, fake().launches) << "one wait per launch, none after the fault";
}

TEST(CudaAttn, RefusalsComeBeforeAnyDeviceWork) {
  std::mt19937 rng(4);
  const AttnLayer layer(rng);
  const std::vector<float> short_norm(15, 1.0f);
  struct Case {
    const char* message;  // the message, or its start
    size_t width;
    std::function<void(AttentionGeometry&, AttnWeights&, Columns&, KvCache&)> spoil;
    bool before_work = true;  // the device cache is checked by the attention itself
  };
  const Case cases[] = {
      {"upload: column length mismatch", 2, [](auto&, auto&, Columns& x, auto&) { x[1].pop_back(); }},
      {"upload: column length mismatch", 3, [](auto&, auto&, Columns& x, auto&) { x[2].push_back(0); }},
      {"attn_mixer: n_head % n_kv != 0", 1, [](AttentionGeometry& g, auto&, auto&, auto&) { g.n_kv = 0; }},
      {"attn_mixer: n_head % n_kv != 0", 2, [](AttentionGeometry& g, auto&, auto&, auto&) { g.n_kv = 3; }},
      {"attn_mixer: bad rope_dim", 1, [](AttentionGeometry& g, auto&, auto&, auto&) { g.rope_dim = 7; }},
      {"attn_mixer: bad rope_dim", 3, [](AttentionGeometry& g, auto&, auto&, auto&) { g.rope_dim = 18; }},
      {"attn_mixer: q rows", 1, [](AttentionGeometry& g, auto&, auto&, auto&) { g.n_head = 2; }},
      {"attn_mixer: out rows 64 != hidden 32", 2, [](auto&, auto&, Columns& x, auto&) {
         for (auto& c : x) c.resize(32);
       }},
      {"attn_mixer: norm geometry mismatch", 1, [&](auto&, AttnWeights& w, auto&, auto&) { w.q_norm = short_norm; }},
      {"attn_mixer: norm geometry mismatch", 3, [&](auto&, AttnWeights& w, auto&, auto&) { w.norm = short_norm; }},
      // A cache that does not reach pos would leave positions the core reads unwritten.
      {"attn_mixer: kv cache length inconsistent with pos", 1, [](auto&, auto&, auto&, KvCache& kv) {
         kv.k.resize(3 * 32);
         kv.v.resize(3 * 32);
       }, false},
      {"attn_mixer: kv cache length inconsistent with pos", 2, [](auto&, auto&, auto&, KvCache& kv) { kv.v.pop_back(); },
       false},
  };
  for (const Case& t : cases) {
    AttentionGeometry g = layer.g;
    AttnWeights w = layer.weights();
    Columns x = random_columns(t.width, 64, rng);
    KvCache kv{std::vector<float>(10 * 32, 0.5f), std::vector<float>(10 * 32, 0.5f)};
    t.spoil(g, w, x, kv);
    const Backend cuda{make_cuda(fake_api(), 1, false, false)};
    const Status st = attn_mixer(cuda, g, w, 10, 1, kv, column_spans_mut(x));
    const std::string want = t.message;
    ASSERT_FALSE(st.ok()) << want;
    EXPECT_EQ(st.error().message.substr(0, want.size()), want);
    if (t.before_work) EXPECT_EQ(fake().launches, 0) << want;
  }
  // A device cache written up to position 11 refuses a call at 13.
  const Backend cuda{make_cuda(fake_api(), 1, false, false)};
  KvCache kv;
  Columns x = random_columns(1, 64, rng);
  for (uint32_t p : {0u, 1u}) ASSERT_TRUE(attn_mixer(cuda, layer.g, layer.weights(), p, 9, kv, column_spans_mut(x)).ok());
  EXPECT_EQ(attn_mixer(cuda, layer.g, layer.weights(), 3, 9, kv, column_spans_mut(x)).error().message,
            "attn_mixer: kv cache length inconsistent with pos");
}


TEST(CudaFfn, EveryWidthMatchesTheCpuBlock) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    std::mt19937 rng(8);
    const Backend cpu{make_cpu(1)};
    for (bool f16_down : {false, true}) {
      const FfnLayer layer(rng, f16_down);
      for (size_t k = 1; k <= 3; ++k) {
        const Backend cuda{make_cuda(device.api(), 1, false, false)};
        Columns want = random_columns(k, 64, rng), got = want;
        ASSERT_TRUE(ffn_swiglu(cpu, layer.weights(), 1e-6f, column_spans_mut(want)).ok());
        const Status st = ffn_swiglu(cuda, layer.weights(), 1e-6f, column_spans_mut(got));
        ASSERT_TRUE(st.ok()) << st.error().message;
        EXPECT_LT(rel_error(got, want), 1e-5) << k;
      }
    }
  }
}

TEST(CudaFfn, RefusalsLeaveTheColumnsAlone) {
  std::mt19937 rng(3);
  const FfnLayer layer(rng), wide(rng);
  const QMatrix down_short(96, 32, rng);
  const std::vector<float> short_norm(63, 1.0f);
  struct Case {
    size_t width;
    const char* message;
    std::function<void(FfnWeights&, Columns&)> spoil;
  };
  const Case cases[] = {
      {2, "upload: column length mismatch", [](auto&, Columns& x) { x[0].pop_back(); }},
      {3, "upload: column length mismatch", [](auto&, Columns& x) { x[1].pop_back(); }},
      {1, "ffn_swiglu: tensor geometry mismatch (gate 96, up 96, down 32, hidden 64)",
       [&](FfnWeights& w, auto&) { w.down = down_short.m(); }},
      {2, "ffn_swiglu: tensor geometry mismatch (gate 96, up 64, down 64, hidden 64)",
       [&](FfnWeights& w, auto&) { w.up = layer.down.m(); }},
      {1, "ffn_swiglu: norm geometry mismatch", [&](FfnWeights& w, auto&) { w.norm = short_norm; }},
      {3, "ffn_swiglu: norm geometry mismatch", [&](FfnWeights& w, auto&) { w.norm = short_norm; }},
  };
  for (const Case& t : cases) {
    const Backend cuda{make_cuda(fake_api(), 1, false, false)};
    FfnWeights w = layer.weights();
    Columns x = random_columns(t.width, 64, rng);
    t.spoil(w, x);
    const Columns before = x;
    const Status st = ffn_swiglu(cuda, w, 1e-6f, column_spans_mut(x));
    ASSERT_FALSE(st.ok()) << t.message;
    EXPECT_EQ(st.error().message, t.message);
    EXPECT_EQ(fake().launches, 0) << t.message;
    EXPECT_EQ(x, before);
  }
}

// A head over hidden 64 and 96 logits.
struct Head {
  QMatrix w;
  std::vector<float> norm;
  explicit Head(std::mt19937& rng, bool f16 = false) : w(64, 96, rng, f16), norm(normal(64, rng)) {}
  HeadWeights weights() const { return {norm, std::get<TensorView>(w.m())}; }
};

TEST(CudaHead, EveryWidthMatchesTheCpuHeadWithOneDownload) {
  std::mt19937 rng(6);
  const Backend cpu{make_cpu(1)};
  for (bool f16 : {false, true}) {
    const Head head(rng, f16);
    const Matrix m{head.weights().head};
    for (size_t k = 1; k <= 4; ++k) {
      const Backend cuda{make_cuda(fake_api(), 1, false, false)};
      const Columns x = random_columns(k, 64, rng);
      auto want = logits_head(cpu, head.norm, m, 1e-6f, *upload(cpu, x));
      auto on_device = upload(cuda, x);
      ASSERT_TRUE(on_device.ok());
      const int to_host = fake().to_host;
      auto got = logits_head(cuda, head.norm, m, 1e-6f, *on_device);
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_LT(rel_error(*got, *want), 1e-5) << k << " f16 " << f16;
      // The logits come down in one copy; an f16 head runs on the host over the normed columns.
      EXPECT_EQ(fake().to_host - to_host, 1) << k << " f16 " << f16;
    }
  }
}

// Whole models over the fake device: the logits of the device chains against the CPU
// backend's, and the host copies of a token once its weights are resident.
TEST(CudaChains, ATokenCostsOneUploadAndOneDownload) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    // Every layer attention (interval 1) so that every operation has a device chain.
    auto path = testing::generated_model("--preset tiny --seed 4 --types q8_0 --interval 1");
    if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
    auto m = testing::load_with(*path, {{"KESTRUNE_WEIGHTS", "lazy"}});
    ASSERT_TRUE(m);
    Model& model = *m;
    DecodeState cpu_state = new_state(model);
    std::vector<std::vector<float>> want;
    for (uint32_t t : {1u, 200u, 7u, 498u}) want.push_back(*forward(model, cpu_state, t));
    model.backend = Backend{make_cuda(device.api(), 1, false, false)};
    long live = 0;
    for (int generation = 0; generation < 3; ++generation) {
      DecodeState st = new_state(model);
      size_t i = 0;
      for (uint32_t t : {1u, 200u, 7u, 498u}) {
        const int up = fake().to_device, down = fake().to_host;
        auto l = forward(model, st, t);
        ASSERT_TRUE(l.ok()) << l.error().message;
        EXPECT_LT(rel_error({*l}, {want[i]}), 1e-5) << "token " << i;
        if (generation > 0 || i > 0) {
          EXPECT_EQ(fake().to_device - up, 1) << "token " << i;
          EXPECT_EQ(fake().to_host - down, 1) << "token " << i;
        }
        ++i;
      }
      // Dropping a state frees its device caches: memory stays flat across generations.
      if (generation == 1) live = fake().live;
      if (generation == 2) EXPECT_EQ(fake().live, live);
    }
    // A failed token reports the failed copy; a prompt chunk of four columns then goes
    // through on a fresh state.
    DecodeState st = new_state(model);
    fake().fail_copy_at = fake().copies + 1;  // the logits download
    EXPECT_FALSE(forward(model, st, 1).ok());
    st = new_state(model);
    const std::vector<uint32_t> prompt = {1, 200, 7, 498};
    auto last = prefill(model, st, prompt, 4);
    ASSERT_TRUE(last.ok()) << last.error().message;
    EXPECT_LT(rel_error({*last}, {want.back()}), 1e-5);
  }
}

// Speculative decoding with the device chains emits the plain greedy tokens.
TEST(CudaChains, SpeculativeGreedyEqualsPlainGreedy) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 3 --agree");
    auto m = testing::load_with(path, testing::kArmedEnv);
    ASSERT_TRUE(m);
    const std::vector<uint32_t> prompt = {1, 300, 17};
    DecodeState plain_state = new_state(*m);
    const auto plain = testing::greedy_run(*m, plain_state, prompt, 12, {}, SpecMode::Off);
    m->backend = Backend{make_cuda(device.api(), 1, false, false)};
    for (SpecMode mode : {SpecMode::Off, SpecMode::Depth1, SpecMode::Depth2}) {
      if (device.emulated && mode == SpecMode::Off) continue;  // the other chain tests cover plain steps
      DecodeState st = new_state(*m);
      const auto run = testing::greedy_run(*m, st, prompt, 12, {}, mode);
      EXPECT_EQ(run.emitted, plain.emitted) << int(mode);
      if (mode != SpecMode::Off) EXPECT_FALSE(run.rounds.empty());
    }
  }
}

}  // namespace
}  // namespace kestrune
