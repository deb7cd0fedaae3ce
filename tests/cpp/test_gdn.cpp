#include <gtest/gtest.h>
#include <math.h>

#include <cmath>

#include "backend/backend.h"
#include "layer_fixture.h"
#include "backend/cpu/gdn.h"
#include "layer_ops.h"

namespace kestrune {
namespace {

using testing::dense;
using testing::gdn_apply;
using testing::gdn_output;
using testing::pseudo_random;
using testing::vec;

constexpr uint64_t kHidden = 16, kD = 4, kHk = 2, kHv = 4, kK = 4;
constexpr uint64_t kC = (2 * kHk + kHv) * kD;  // 32 channels
constexpr uint64_t kInner = kHv * kD;

struct GdnLayer {
  GdnGeometry g{kD, kHk, kHv, kK, 1e-6f};
  CachedTensor norm = vec(kHidden, 1);
  CachedTensor qkv = dense(kHidden, kC, 2);
  CachedTensor conv = dense(kK, kC, 3);
  CachedTensor alpha = dense(kHidden, kHv, 4);
  CachedTensor beta = dense(kHidden, kHv, 5);
  CachedTensor a = CachedTensor{{kHv}, {-1.0f, -2.0f, -4.0f, -8.0f}};
  CachedTensor dt = CachedTensor{{kHv}, {-3.0f, -4.0f, -2.5f, -5.0f}};
  CachedTensor gate = dense(kHidden, kInner, 6);
  CachedTensor out_norm = vec(kD, 7);
  CachedTensor out = dense(kInner, kHidden, 8);

  GdnWeights tensors() const {
    return {norm.data, Matrix{&qkv}, &conv, Matrix{&alpha}, Matrix{&beta}, a.data, dt.data,
            Matrix{&gate}, out_norm.data, Matrix{&out}};
  }
};

std::vector<float> input(uint32_t seed) { return pseudo_random(kHidden, seed, 2.0f); }

float rel_err(float got, float want) { return std::fabs(got - want) / std::max(1e-6f, std::fabs(want)); }

TEST(GdnStep, FirstTokenIsBetaTimesKeyQueryTimesValue) {
  // With S = 0, out_l = beta_l * (k_g . q_g) * v_l for key head g = l mod Hk.
  const auto q = pseudo_random(kHk * kD, 1), k = pseudo_random(kHk * kD, 2);
  const auto v = pseudo_random(kInner, 3);
  const std::vector<float> decay = {0.9f, 0.5f, 0.7f, 0.1f}, beta = {0.2f, 0.4f, 0.6f, 0.8f};
  std::vector<float> S(kHv * kD * kD, 0.0f), out(kInner, 0.0f);
  gdn_step(S, q, k, v, decay, beta, out, kD, kHk, kHv);
  for (uint64_t l = 0; l < kHv; ++l) {
    const uint64_t g = l % kHk;  // heads 0 and 2 share key head 0, 1 and 3 key head 1
    float kq = 0;
    for (uint64_t a = 0; a < kD; ++a) kq += k[g * kD + a] * q[g * kD + a];
    for (uint64_t b = 0; b < kD; ++b) {
      EXPECT_LT(rel_err(out[l * kD + b], beta[l] * kq * v[l * kD + b]), 1e-5f) << l << " " << b;
    }
  }
}

TEST(GdnStep, ValueHeadsCycleOverKeyHeads) {
  // Key head 1 is zero: the heads mapped to it (1 and 3 cyclically) read nothing, while
  // a blocked mapping l / (Hv/Hk) would zero heads 2 and 3 instead.
  auto q = pseudo_random(kHk * kD, 4), k = pseudo_random(kHk * kD, 5);
  for (uint64_t a = kD; a < 2 * kD; ++a) k[a] = 0.0f;
  const auto v = pseudo_random(kInner, 6);
  const std::vector<float> decay(kHv, 1.0f), beta(kHv, 0.5f);
  std::vector<float> S(kHv * kD * kD, 0.0f), out(kInner, 0.0f);
  gdn_step(S, q, k, v, decay, beta, out, kD, kHk, kHv);
  for (uint64_t l = 0; l < kHv; ++l) {
    float mag = 0;
    for (uint64_t b = 0; b < kD; ++b) mag += std::fabs(out[l * kD + b]);
    if (l % 2 == 1) {
      EXPECT_EQ(mag, 0.0f) << l;
    } else {
      EXPECT_GT(mag, 0.0f) << l;
    }
  }
}

TEST(GdnMixer, ConvStateHoldsRawProjectionsOfLastTokens) {
  GdnLayer L;
  GdnLayerState st = new_gdn_state(L.g);
  ASSERT_EQ(st.conv.size(), (kK - 1) * kC);
  ASSERT_EQ(st.recurrent.size(), kHv * kD * kD);
  std::vector<std::vector<float>> r;
  for (uint32_t t = 0; t < kK - 1; ++t) {
    auto x = input(20 + t);
    auto xn = rms_norm(x, L.norm.data, L.g.eps);
    r.push_back(*matvec(Matrix{&L.qkv}, *xn));
    ASSERT_TRUE(gdn_apply(L.g, L.tensors(), st, x).ok());
  }
  for (uint64_t row = 0; row < kK - 1; ++row) {
    EXPECT_TRUE(std::equal(r[row].begin(), r[row].end(), st.conv.begin() + row * kC)) << row;
  }
  // One more token shifts token 0 out.
  auto x = input(30);
  ASSERT_TRUE(gdn_apply(L.g, L.tensors(), st, x).ok());
  EXPECT_TRUE(std::equal(r[1].begin(), r[1].end(), st.conv.begin()));
}

TEST(GdnMixer, FirstTokenConvolutionSeesOnlyTheLastTap) {
  GdnLayer L;
  // Zeroing every tap but the last must not change the first token at all.
  GdnLayer M;
  for (uint64_t c = 0; c < kC; ++c) {
    for (uint64_t t = 0; t + 1 < kK; ++t) M.conv.data[c * kK + t] = 0.0f;
  }
  GdnLayerState s1 = new_gdn_state(L.g), s2 = new_gdn_state(M.g);
  auto x = input(31);
  auto y1 = gdn_output(L.g, L.tensors(), s1, x);
  auto y2 = gdn_output(M.g, M.tensors(), s2, x);
  ASSERT_TRUE(y1.ok() && y2.ok());
  EXPECT_EQ(*y1, *y2);
  EXPECT_EQ(s1.recurrent, s2.recurrent);
}

TEST(GdnMixer, GeometryErrorsLeaveStateAndInputAlone) {
  struct Case {
    const char* name;
    void (*mutate)(GdnLayer&);
    const char* message;
    bool state_moves;
  };
  const Case cases[] = {
      {"kernel 1", [](GdnLayer& L) { L.g.conv_kernel = 1; }, "gdn_mixer: conv_kernel < 2 unsupported", false},
      {"hk 0", [](GdnLayer& L) { L.g.hk = 0; }, "gdn_mixer: Hk is 0", false},
      {"qkv rows", [](GdnLayer& L) { L.qkv = dense(kHidden, kC - 1, 2); },
       "gdn_mixer: qkv/conv geometry mismatch (qkv 31, conv 96, width 32)", false},
      {"short conv taps", [](GdnLayer& L) { L.conv = dense(kK - 1, kC, 3); },
       "gdn_mixer: conv weight dims [3, 32] too small for conv_kernel 4 x channels 32", false},
      {"short conv channels", [](GdnLayer& L) { L.conv = dense(kK, kC - 1, 3); },
       "gdn_mixer: conv weight dims [4, 31] too small for conv_kernel 4 x channels 32", false},
      {"short ssm_a", [](GdnLayer& L) { L.a.data.pop_back(); }, "gdn_mixer: ssm_a/ssm_dt.bias lengths 3, 4 < Hv 4",
       false},
      {"short dt bias", [](GdnLayer& L) { L.dt.data.pop_back(); },
       "gdn_mixer: ssm_a/ssm_dt.bias lengths 4, 3 < Hv 4", false},
      {"short ssm_norm", [](GdnLayer& L) { L.out_norm.data.pop_back(); }, "gdn_mixer: ssm_norm length 3 < d 4", false},
      {"alpha rows", [](GdnLayer& L) { L.alpha = dense(kHidden, kHv - 1, 4); },
       "gdn_mixer: ssm_alpha/ssm_beta rows 3, 4 < Hv 4", false},
      {"short layer norm", [](GdnLayer& L) { L.norm.data.pop_back(); }, "gdn_mixer: norm geometry mismatch", false},
      {"gate rows", [](GdnLayer& L) { L.gate = dense(kHidden, kInner + 1, 6); }, "gdn_mixer: gate rows 17 != inner 16",
       false},
      {"out rows", [](GdnLayer& L) { L.out = dense(kInner, kHidden + 1, 8); }, "gdn_mixer: out rows 17 != hidden 16",
       false},
  };
  for (const auto& c : cases) {
    GdnLayer L;
    c.mutate(L);
    GdnLayerState st = new_gdn_state(GdnLayer{}.g);
    auto x = input(40);
    const auto before = x;
    auto s = gdn_apply(L.g, L.tensors(), st, x);
    ASSERT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.error().message, c.message) << c.name;
    EXPECT_EQ(x, before) << c.name;
    const bool moved = st.conv != new_gdn_state(GdnLayer{}.g).conv;
    EXPECT_EQ(moved, c.state_moves) << c.name;
  }
}

TEST(GdnMixer, ColumnFormsEqualSingleColumnsBitForBit) {
  GdnLayer L;
  Backend b = make_cpu(1);
  GdnLayerState single = new_gdn_state(L.g), two = single, three = single;
  std::vector<std::vector<float>> s = {input(50), input(51), input(52)};
  auto c2 = s, c3 = s;
  for (auto& x : s) ASSERT_TRUE(gdn_mixer(b, L.g, L.tensors(), 1, single, testing::cols(x)).ok());
  ASSERT_TRUE(gdn_mixer(b, L.g, L.tensors(), 2, two, testing::cols(c2[0], c2[1])).ok());
  ASSERT_TRUE(gdn_mixer(b, L.g, L.tensors(), 2, two, testing::cols(c2[2])).ok());
  ASSERT_TRUE(gdn_mixer(b, L.g, L.tensors(), 3, three, testing::cols(c3[0], c3[1], c3[2])).ok());
  EXPECT_EQ(c2, s);
  EXPECT_EQ(c3, s);
  EXPECT_EQ(two.conv, single.conv);
  EXPECT_EQ(two.recurrent, single.recurrent);
  EXPECT_EQ(three.conv, single.conv);
  EXPECT_EQ(three.recurrent, single.recurrent);
}

TEST(GdnMixer, RejectedWindowRestoresTheStateAfterTheAcceptedColumns) {
  GdnLayer L;
  Backend b = make_cpu(1);
  const auto xs = std::vector<std::vector<float>>{input(60), input(61), input(62)};
  // Reference states after one and after two tokens.
  GdnLayerState ref = new_gdn_state(L.g);
  auto r0 = xs[0], r1 = xs[1];
  ASSERT_TRUE(gdn_apply(L.g, L.tensors(), ref, r0).ok());
  const GdnLayerState after0 = ref;
  ASSERT_TRUE(gdn_apply(L.g, L.tensors(), ref, r1).ok());
  const GdnLayerState after1 = ref;

  for (unsigned accepted : {0u, 1u, 2u}) {
    GdnLayerState st = new_gdn_state(L.g);
    auto c = xs;
    ASSERT_TRUE(spec_arm(b).ok());
    ASSERT_TRUE(gdn_mixer(b, L.g, L.tensors(), 100 + accepted, st, testing::cols(c[0], c[1], c[2])).ok());
    ASSERT_TRUE(spec_resolve(b, accepted).ok());
    // The restore is lazy: it lands at the layer's next step.
    auto next = input(63);
    ASSERT_TRUE(gdn_mixer(b, L.g, L.tensors(), 100 + accepted, st, testing::cols(next)).ok());
    GdnLayerState want = accepted == 0 ? after0 : accepted == 1 ? after1 : GdnLayerState{};
    if (accepted == 2) {
      want = after1;
      auto t2 = xs[2];
      ASSERT_TRUE(gdn_apply(L.g, L.tensors(), want, t2).ok());
    }
    auto again = input(63);
    ASSERT_TRUE(gdn_apply(L.g, L.tensors(), want, again).ok());
    EXPECT_EQ(st.conv, want.conv) << accepted;
    EXPECT_EQ(st.recurrent, want.recurrent) << accepted;
    EXPECT_EQ(next, again) << accepted;
  }

  auto twice = spec_resolve(b, true);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().message, "spec_resolve without an armed window");
}

}  // namespace
}  // namespace kestrune
