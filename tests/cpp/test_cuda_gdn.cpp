// The GDN mixer of the cuda backend over the fake device (fake_gdn.h runs the kernels'
// lane functions): each width against the CPU layer, the armed window's routing and
// resolution, every refusal before any device work, and the CPU fallback with the
// device scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "model/layers.h"
#include "backend/cpu/gdn.h"
#include "backend/cuda/gdn.h"
#include "backend/cuda/gdn_lanes.h"
#include "emulator/emulator.h"
#include "fake_device.h"
#include "layer_fixture.h"
#include "numerics/scalar.h"
#include "quant/types.h"
#include "spec_support.h"

namespace kestrune {
namespace {

using testing::fake;
using testing::fake_api;

// One GDN layer: Q8_0 projections with modest block scales, dense control tensors.
struct Layer {
  GdnGeometry g;
  uint64_t n;
  TensorInfo qkv_i, z_i, out_i;
  std::vector<uint8_t> qkv_b, z_b, out_b;
  CachedTensor conv, alpha, beta, dense_out;
  std::vector<float> norm, a, dt, out_norm;

  Layer(uint64_t d, uint64_t hk, uint64_t hv, uint64_t K, uint64_t hidden, uint32_t seed)
      : g{d, hk, hv, K, 1e-6f},
        n(hidden),
        qkv_i{"qkv", {hidden, g.channels()}, kQ8_0, 0},
        z_i{"z", {hidden, g.inner()}, kQ8_0, 0},
        out_i{"out", {g.inner(), hidden}, kQ8_0, 0} {
    std::mt19937 rng(seed);
    qkv_b = q8_rows(hidden, g.channels(), rng);
    z_b = q8_rows(hidden, g.inner(), rng);
    out_b = q8_rows(g.inner(), hidden, rng);
    conv = testing::dense(K, g.channels(), seed + 1, 0.5f);
    alpha = testing::dense(hidden, hv, seed + 2, 0.1f);
    beta = testing::dense(hidden, hv, seed + 3, 0.1f);
    norm = testing::vec(hidden, seed + 4).data;
    a = testing::pseudo_random(hv, seed + 5, 0.5f);
    for (auto& v : a) v -= 0.6f;
    dt = testing::pseudo_random(hv, seed + 6, 0.5f);
    out_norm = testing::vec(d, seed + 7).data;
    dense_out = {{g.inner(), hidden}, {}};
    for (uint64_t r = 0; r < hidden; ++r) {
      const auto row = dequant_row(view(out_i, out_b), r);
      dense_out.data.insert(dense_out.data.end(), row->begin(), row->end());
    }
  }
  Layer(const Layer&) = delete;

  static std::vector<uint8_t> q8_rows(uint64_t cols, uint64_t rows, std::mt19937& rng) {
    std::vector<uint8_t> b(cols / 32 * rows * 34);
    for (auto& v : b) v = uint8_t(rng());
    for (size_t k = 0; k < b.size(); k += 34) b[k + 1] = uint8_t(0x18 + rng() % 4);  // d in [2^-9, 2^-8)
    return b;
  }
  static TensorView view(const TensorInfo& i, const std::vector<uint8_t>& b) { return {&i, b.data(), b.size()}; }

  GdnWeights weights() const {
    return {norm, view(qkv_i, qkv_b), &conv, &alpha, &beta, a, dt, view(z_i, z_b), out_norm, view(out_i, out_b)};
  }
  std::vector<float> x(uint32_t seed) const { return testing::pseudo_random(n, seed, 1.0f); }
};

// ‖got − want‖ / ‖want − base‖: the error relative to the mixer's contribution.
double rel(const std::vector<float>& got, const std::vector<float>& want, const std::vector<float>& base) {
  double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    num += std::pow(double(got[i]) - want[i], 2);
    den += std::pow(double(want[i]) - base[i], 2);
  }
  return std::sqrt(num / den);
}

constexpr double kTol = 1e-4;

Status call(const Backend& b, const Layer& L, uint64_t nonce, GdnLayerState& st, std::vector<std::vector<float>*> xs,
            const GdnWeights* w = nullptr) {
  std::vector<std::span<float>> cols;
  for (auto* x : xs) cols.emplace_back(*x);
  const GdnWeights own = L.weights();
  return gdn_mixer(b, L.g, w ? *w : own, nonce, st, cols);
}

std::vector<std::string> labels() {
  std::vector<std::string> out;
  for (const Launch& l : fake().launched) out.emplace_back(l.label);
  return out;
}

TEST(CudaGdnLanes, AgreeWithTheCpuLayer) {
  // Gates: softplus switches to the identity above 20; decay and strength are the CPU's bits.
  const float gates[][4] = {{24.0f, 1.0f, -0.5f, 0.3f}, {19.5f, 0.5f, -1.0f, -2.0f}, {-3.0f, 0.1f, -0.2f, 4.0f}};
  for (const auto& t : gates) {
    float decay = 0, beta = 0;
    lanes::gdn_gates(t[0], t[1], t[2], t[3], &decay, &beta);
    EXPECT_EQ(decay, expf(t[2] * softplus(t[0] + t[1])));
    EXPECT_EQ(beta, sigmoid(t[3]));
  }
  // One scan column per state column against the CPU step, on a shared key head.
  const int d = 8, hk = 1, hv = 2;
  auto S = testing::pseudo_random(hv * d * d, 1), S_cpu = S;
  auto q = testing::pseudo_random(d, 2), k = testing::pseudo_random(d, 3), v = testing::pseudo_random(hv * d, 4);
  const std::vector<float> decay = {0.9f, 0.5f}, beta = {0.3f, 0.7f};
  std::vector<float> out(hv * d, 0.0f), want(hv * d, 0.0f);
  gdn_step(S_cpu, q, k, v, decay, beta, want, d, hk, hv);
  for (int h = 0; h < hv; ++h) {
    for (int j = 0; j < d; ++j) {
      float* s = S.data() + h * d * d;
      out[h * d + j] = lanes::gdn_scan_column(s, s, k.data(), q.data(), v[h * d + j], decay[h], beta[h], d, j);
    }
  }
  for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], want[i], 1e-5f * (1 + std::fabs(want[i])));
  for (size_t i = 0; i < S.size(); ++i) EXPECT_NEAR(S[i], S_cpu[i], 1e-5f * (1 + std::fabs(S_cpu[i])));
  // K = 4: after three tokens the history holds them oldest first.
  const int C = 2;
  std::vector<float> hist(3 * C, 0.0f);
  for (int t = 0; t < 3; ++t) {
    for (int c = 0; c < C; ++c) lanes::gdn_conv_shift(hist.data(), hist.data(), 4, float(10 * t + c), C, c);
  }
  EXPECT_EQ(hist, (std::vector<float>{0, 1, 10, 11, 20, 21}));
}

TEST(CudaGdnRoute, ArmedColumnsChainThroughTheShadows) {
  struct Case {
    unsigned column;
    bool armed;
    unsigned read, write;
  };
  const Case cases[] = {{0, false, 0, 0}, {1, false, 0, 0}, {2, false, 0, 0},
                        {0, true, 0, 0},  {1, true, 0, 1},  {2, true, 1, 2}};
  for (const Case& c : cases) {
    const GdnRoute r = gdn_route(c.column, c.armed);
    EXPECT_EQ(r.read, c.read) << c.column << c.armed;
    EXPECT_EQ(r.write, c.write) << c.column << c.armed;
  }
}

// Each width, two calls in a row against the CPU backend's columns.
TEST(CudaGdn, EachWidthMatchesTheCpuLayer) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    const Backend cpu{make_cpu(1)};
    for (uint64_t d : {16, 128}) {
      const Layer L(d, 2, 4, 4, 64, 7);
      for (size_t k = 1; k <= 4; ++k) {  // four: a prompt chunk, column by column
        {
          const Backend dev{make_cuda(device.api(), 1, false, false)};
          GdnLayerState s_cpu = new_gdn_state(L.g), s_dev = new_gdn_state(L.g);
          for (int round = 0; round < 2; ++round) {
            std::vector<std::vector<float>> x, y;
            for (size_t j = 0; j < k; ++j) x.push_back(L.x(uint32_t(10 * round + j)));
            y = x;
            auto want = x;
            std::vector<std::vector<float>*> pw, py;
            for (size_t j = 0; j < k; ++j) pw.push_back(&want[j]), py.push_back(&y[j]);
            ASSERT_TRUE(call(cpu, L, 1, s_cpu, pw).ok());
            const int copies = fake().copies;
            const Status st = call(dev, L, 1, s_dev, py);
            ASSERT_TRUE(st.ok()) << st.error().message;
            // Once the layer is on the device, a call copies its columns up and back only.
            if (round == 1) EXPECT_EQ(fake().copies - copies, 2);
            for (size_t j = 0; j < k; ++j) {
              EXPECT_LT(rel(y[j], want[j], x[j]), kTol) << "d " << d << " k " << k << " col " << j;
            }
          }
          const Kernel scan = d == 128 ? Kernel::GdnScanWide : Kernel::GdnScan;
          int scans = 0;
          for (const Launch& l : fake().launched) scans += l.kernel == scan;
          EXPECT_EQ(scans, int(2 * k));
          // The host state keeps what seeded the device front.
          EXPECT_EQ(s_dev.recurrent, new_gdn_state(L.g).recurrent);
        }
      }
    }
  }
}

// An armed k-column call resolved at depth t leaves the state of t + 1 single steps.
TEST(CudaGdn, ArmedWindowKeepsTheAcceptedColumns) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    const Backend cpu{make_cpu(1)};
    const Layer L(16, 2, 4, 3, 64, 3);
    for (size_t k : {2, 3}) {
      for (unsigned depth = 0; depth < k; ++depth) {
        const Backend dev{make_cuda(device.api(), 1, false, false)};
        GdnLayerState s_cpu = new_gdn_state(L.g), s_dev = new_gdn_state(L.g);
        auto w0 = L.x(1), w1 = L.x(1);
        ASSERT_TRUE(call(cpu, L, 5, s_cpu, {&w0}).ok());
        ASSERT_TRUE(call(dev, L, 5, s_dev, {&w1}).ok());
        std::vector<std::vector<float>> x, y;
        for (size_t j = 0; j < k; ++j) x.push_back(L.x(uint32_t(20 + j)));
        y = x;
        std::vector<std::vector<float>*> py;
        for (auto& v : y) py.push_back(&v);
        ASSERT_TRUE(spec_arm(dev).ok());
        ASSERT_TRUE(call(dev, L, 5, s_dev, py).ok());
        ASSERT_TRUE(spec_resolve(dev, depth).ok());
        for (size_t j = 0; j < k; ++j) {
          auto want = x[j];
          ASSERT_TRUE(call(cpu, L, 5, s_cpu, {&want}).ok());
          EXPECT_LT(rel(y[j], want, x[j]), kTol) << "k " << k << " col " << j;
          if (j == depth) break;
        }
        auto probe = L.x(99), want = probe, got = probe;
        ASSERT_TRUE(call(cpu, L, 5, s_cpu, {&want}).ok());
        ASSERT_TRUE(call(dev, L, 5, s_dev, {&got}).ok());
        EXPECT_LT(rel(got, want, probe), kTol) << "k " << k << " depth " << depth;
      }
    }
  }
}

TEST(CudaGdn, RefusalsComeBeforeAnyDeviceWork) {
  const Layer L(16, 2, 4, 4, 64, 9);
  const GdnWeights good = L.weights();
  const std::vector<float> short_norm(L.n - 1, 1.0f), short_out_norm(L.g.d - 1, 1.0f);
  struct Case {
    const char* what;
    size_t k;
    std::function<void(GdnGeometry&, GdnWeights&, GdnLayerState&, std::vector<std::vector<float>>&)> bend;
    bool armed;
    std::string message;
  };
  const Case cases[] = {
      {"K = 1", 1, [](GdnGeometry& g, auto&, auto&, auto&) { g.conv_kernel = 1; }, false,
       "gdn_mixer: conv_kernel < 2 unsupported"},
      {"gate rows", 1, [&](auto&, GdnWeights& w, auto&, auto&) { w.gate = w.qkv; }, false,
       "gdn_mixer: gate rows"},
      {"short input norm", 1, [&](auto&, GdnWeights& w, auto&, auto&) { w.norm = short_norm; }, false,
       "gdn_mixer: norm geometry mismatch"},
      {"short host state", 1, [](auto&, auto&, GdnLayerState& s, auto&) { s.recurrent.pop_back(); }, false,
       "gdn_mixer: recurrent state geometry mismatch"},
      {"short output norm", 2, [&](auto&, GdnWeights& w, auto&, auto&) { w.out_norm = short_out_norm; }, false,
       "gdn_mixer: ssm_norm length 15 < d 16"},
      {"column lengths", 2, [](auto&, auto&, auto&, auto& x) { x[1].pop_back(); }, false,
       "upload: column length mismatch"},
      {"k = 3 state", 3, [](auto&, auto&, GdnLayerState& s, auto&) { s.conv.pop_back(); }, true,
       "gdn_mixer: qkv/conv geometry mismatch"},
      {"k = 3 lengths", 3, [](auto&, auto&, auto&, auto& x) { x[2].push_back(0); }, false,
       "upload: column length mismatch"},
  };
  for (const Case& c : cases) {
    const Backend dev{make_cuda(fake_api(), 1, false, false)};
    GdnGeometry g = L.g;
    GdnWeights w = good;
    GdnLayerState st = new_gdn_state(L.g);
    std::vector<std::vector<float>> x(c.k, L.x(4));
    c.bend(g, w, st, x);
    if (c.armed) ASSERT_TRUE(spec_arm(dev).ok());
    const auto before = x;
    std::vector<std::span<float>> cols(x.begin(), x.end());
    const Status s = gdn_mixer(dev, g, w, 1, st, cols);
    ASSERT_FALSE(s.ok()) << c.what;
    EXPECT_EQ(s.error().message.substr(0, c.message.size()), c.message) << c.what;
    EXPECT_EQ(fake().launches, 0) << c.what;
    EXPECT_EQ(x, before) << c.what;
  }
  // Heads wider than a block of threads, and scan inputs of the wrong size.
  const Layer wide(1056, 1, 1, 4, 64, 2);
  const Backend dev{make_cuda(fake_api(), 1, false, false)};
  GdnLayerState st = new_gdn_state(wide.g);
  auto x = wide.x(1);
  Status s = call(dev, wide, 1, st, {&x});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message, "gdn_mixer: head size 1056 with 1 key heads unsupported on the device (1 to 1024)");
}

TEST(CudaGdn, ResolveRefusals) {
  const Layer L(16, 2, 4, 4, 64, 9);
  const Backend dev{make_cuda(fake_api(), 1, false, false)};
  CudaContext& c = *std::get<Cuda>(dev).ctx;
  auto expect = [](const Status& s, const std::string& m) {
    ASSERT_FALSE(s.ok()) << m;
    EXPECT_EQ(s.error().message, m);
  };
  expect(spec_resolve(dev, 0), "spec_resolve without an armed window");
  ASSERT_TRUE(spec_arm(dev).ok());
  expect(spec_resolve(dev, 3), "spec_resolve_depth: depth beyond 2");
  expect(spec_resolve(dev, 1), "spec_resolve without an armed window");
  // A two-column window has no second shadow; a dropped layer has no pair at all.
  GdnLayerState st = new_gdn_state(L.g);
  auto x0 = L.x(1), x1 = L.x(2);
  ASSERT_TRUE(spec_arm(dev).ok());
  ASSERT_TRUE(call(dev, L, 42, st, {&x0, &x1}).ok());
  expect(spec_resolve(dev, 2), "spec_resolve: nonce 0x2a missing a front/shadow pair");
  ASSERT_TRUE(spec_arm(dev).ok());
  ASSERT_TRUE(call(dev, L, 42, st, {&x0, &x1}).ok());
  auto lease = hold_layers(dev, {42});
  lease.reset();
  expect(spec_resolve(dev, 1), "spec_resolve: nonce 0x2a missing a front/shadow pair");
  EXPECT_TRUE(c.layers->gdn.empty());
}

// An ineligible W_out, in and out of a speculative window: that product alone runs on
// the host; the convolution and scan stay on the device, whose state carries from step
// to step.
TEST(CudaGdn, AnIneligibleProductFallsBackAlone) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    const Layer L(16, 2, 4, 4, 64, 13);
    GdnWeights w = L.weights();
    w.out = &L.dense_out;
    const Backend cpu{make_cpu(1)}, dev{make_cuda(device.api(), 1, false, false)};
    GdnLayerState s_cpu = new_gdn_state(L.g), s_dev = new_gdn_state(L.g);
    for (uint32_t t = 0; t < 3; ++t) {
      const auto x = L.x(t);
      auto want = x, got = x;
      ASSERT_TRUE(call(cpu, L, 3, s_cpu, {&want}, &w).ok());
      const Status s = call(dev, L, 3, s_dev, {&got}, &w);
      ASSERT_TRUE(s.ok()) << s.error().message;
      EXPECT_LT(rel(got, want, x), kTol) << "token " << t;
    }
    const auto l = labels();
    EXPECT_EQ(std::count(l.begin(), l.end(), "gdn scan launch"), 3);
    EXPECT_EQ(s_dev.conv, new_gdn_state(L.g).conv);  // the device holds the state
    // Two columns in an open window route through the shadows as on an eligible layer.
    auto x0 = L.x(7), x1 = L.x(8);
    ASSERT_TRUE(spec_arm(dev).ok());
    ASSERT_TRUE(call(dev, L, 3, s_dev, {&x0, &x1}, &w).ok());
    ASSERT_TRUE(spec_resolve(dev, 1).ok());
  }
}

// The generation loop's speculative rounds with the device window (an agreeing draft
// head, so rounds accept and resolve at every depth) emit the plain greedy tokens.
TEST(CudaGdn, SpeculativeRoundsEmitThePlainGreedyTokens) {
  for (const auto& device : testing::kTestDevices) {
    SCOPED_TRACE(device.name);
    REQUIRE_SPEC_MODEL(path, "--preset tiny --seed 1 --agree");
    auto m = testing::load_with(path, testing::kArmedEnv);
    ASSERT_TRUE(m && m->switches.speculative);
    m->backend = Backend{make_cuda(device.api(), 1, false, false)};
    const std::vector<uint32_t> prompt = {72, 5};
    DecodeState plain_state = new_state(*m);
    // A round may feed two accepted tokens past the budget.
    const auto plain = testing::greedy_run(*m, plain_state, prompt, 14, {}, SpecMode::Off);
    ASSERT_EQ(plain.emitted.size(), 14u);
    for (SpecMode mode : {SpecMode::Depth1, SpecMode::Depth2}) {
      if (device.emulated && mode == SpecMode::Depth1) continue;  // depth 1 runs in CudaChains
      DecodeState st = new_state(*m);
      const auto r = testing::greedy_run(*m, st, prompt, 12, {}, mode);
      EXPECT_EQ(r.emitted, std::vector<uint32_t>(plain.emitted.begin(), plain.emitted.begin() + 12))
          << (mode == SpecMode::Depth1 ? "depth 1" : "depth 2");
      size_t accepted = 0;
      for (const auto& round : r.rounds) accepted += round.accepted.size();
      EXPECT_GT(accepted, 0u);
      // The layers hold what feeding the same tokens one at a time gives.
      const size_t fed = st.position - prompt.size();
      ASSERT_LE(fed, plain.emitted.size());
      std::vector<uint32_t> tokens = prompt;
      tokens.insert(tokens.end(), plain.emitted.begin(), plain.emitted.begin() + fed);
      DecodeState ref = new_state(*m);
      for (uint32_t t : tokens) ASSERT_TRUE(forward(*m, ref, t).ok());
      auto got = forward(*m, st, 7), want = forward(*m, ref, 7);
      ASSERT_TRUE(got.ok() && want.ok());
      EXPECT_LT(rel(*got, *want, std::vector<float>(want->size())), 1e-6);
    }
  }
}

}  // namespace
}  // namespace kestrune
