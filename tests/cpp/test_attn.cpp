#include <gtest/gtest.h>
#include <math.h>

#include "backend/backend.h"
#include "backend/cpu/attention.h"
#include "layer_fixture.h"
#include "layer_ops.h"

namespace kestrune {
namespace {

using testing::attn_output;
using testing::attn_step;
using testing::dense;
using testing::pseudo_random;
using testing::vec;

constexpr uint64_t kHidden = 16, kHeads = 4, kKv = 2, kHd = 8;

// Four query heads over two kv heads, RoPE on the first 4 of 8 dims.
struct AttnLayer {
  AttentionGeometry g{kHd, kHeads, kKv, 4, 10000.0f, 1e-6f};
  CachedTensor norm = vec(kHidden, 1);
  CachedTensor q = dense(kHidden, 2 * kHeads * kHd, 2);
  CachedTensor k = dense(kHidden, kKv * kHd, 3);
  CachedTensor v = dense(kHidden, kKv * kHd, 4);
  CachedTensor q_norm = vec(kHd, 5);
  CachedTensor k_norm = vec(kHd, 6);
  CachedTensor out = dense(kHeads * kHd, kHidden, 7);

  AttnWeights tensors() const { return {norm.data, Matrix{&q}, Matrix{&k}, Matrix{&v}, q_norm.data, k_norm.data, Matrix{&out}}; }
};

std::vector<float> input(uint32_t seed) { return pseudo_random(kHidden, seed, 2.0f); }

TEST(Attention, FirstPositionIsGatedValueOfItsKvHead) {
  AttnLayer L;
  const auto x = input(11);
  KvCache kv;
  auto y = attn_output(L.g, L.tensors(), 0, kv, x);
  ASSERT_TRUE(y.ok()) << y.error().message;

  // With one position the softmax weight is exactly 1: o_h = sigmoid(gate_h) * v_{h/2}.
  auto xn = rms_norm(x, L.norm.data, L.g.eps);
  auto qg = matvec(Matrix{&L.q}, *xn);
  auto v = matvec(Matrix{&L.v}, *xn);
  std::vector<float> o(kHeads * kHd);
  for (uint64_t h = 0; h < kHeads; ++h) {
    const uint64_t g = h / (kHeads / kKv);  // heads 0,1 -> kv 0; heads 2,3 -> kv 1
    for (uint64_t j = 0; j < kHd; ++j) {
      o[h * kHd + j] = sigmoid((*qg)[2 * h * kHd + kHd + j]) * (*v)[g * kHd + j];
    }
  }
  auto want = matvec(Matrix{&L.out}, o);
  EXPECT_EQ(*y, *want);
  EXPECT_EQ(kv.k.size(), kKv * kHd);
  EXPECT_EQ(kv.v, *v);  // values are cached as projected
}

TEST(Attention, RopeRotatesHalfSplitPairsOnly) {
  const auto y0 = pseudo_random(8, 21);
  auto y = y0;
  rope_rotate(y, 0 + 4, 10000.0f, 0);
  EXPECT_EQ(y, y0);  // identity at pos 0

  rope_rotate(y, 4, 10000.0f, 3);
  for (size_t j = 4; j < 8; ++j) EXPECT_EQ(y[j], y0[j]) << j;  // past rope_dim untouched
  float s, c;
  sincosf(3.0f / powf(10000.0f, 0.0f), &s, &c);
  EXPECT_EQ(y[0], c * y0[0] - s * y0[2]);  // pair (0, 2), not (0, 1)
  EXPECT_EQ(y[2], s * y0[0] + c * y0[2]);
  sincosf(3.0f / powf(10000.0f, 2.0f / 4.0f), &s, &c);
  EXPECT_EQ(y[1], c * y0[1] - s * y0[3]);
  EXPECT_EQ(y[3], s * y0[1] + c * y0[3]);
}

TEST(Attention, CacheGrowsOneBlockPerPositionAndMustMatchPos) {
  AttnLayer L;
  KvCache kv;
  for (uint32_t pos = 0; pos < 3; ++pos) {
    auto x = input(30 + pos);
    ASSERT_TRUE(attn_step(L.g, L.tensors(), pos, kv, x).ok());
    EXPECT_EQ(kv.k.size(), (pos + 1) * kKv * kHd);
    EXPECT_EQ(kv.v.size(), kv.k.size());
  }
  auto x = input(40);
  const auto before = x;
  auto st = attn_step(L.g, L.tensors(), 5, kv, x);  // cache holds 3 blocks, not 5
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message, "attn_mixer: kv cache length inconsistent with pos");
  EXPECT_EQ(x, before);
}

TEST(Attention, GeometryErrors) {
  struct Case {
    const char* name;
    void (*mutate)(AttnLayer&);
    const char* message;
  };
  const Case cases[] = {
      {"kv zero", [](AttnLayer& L) { L.g.n_kv = 0; }, "attn_mixer: n_head % n_kv != 0"},
      {"kv not divisor", [](AttnLayer& L) { L.g.n_kv = 3; }, "attn_mixer: n_head % n_kv != 0"},
      {"odd rope", [](AttnLayer& L) { L.g.rope_dim = 3; }, "attn_mixer: bad rope_dim"},
      {"rope past head", [](AttnLayer& L) { L.g.rope_dim = 10; }, "attn_mixer: bad rope_dim"},
      {"q rows", [](AttnLayer& L) { L.q = dense(kHidden, 2 * kHeads * kHd - 1, 2); },
       "attn_mixer: q rows 63 != 2*n_head*hd_k 64"},
      {"k rows", [](AttnLayer& L) { L.k = dense(kHidden, kKv * kHd + 1, 3); },
       "attn_mixer: k/v projection geometry mismatch"},
      {"v rows", [](AttnLayer& L) { L.v = dense(kHidden, kKv * kHd - 1, 4); },
       "attn_mixer: k/v projection geometry mismatch"},
      {"out rows", [](AttnLayer& L) { L.out = dense(kHeads * kHd, kHidden - 1, 7); },
       "attn_mixer: out rows 15 != hidden 16"},
      {"short layer norm", [](AttnLayer& L) { L.norm = vec(kHidden - 1, 1); }, "attn_mixer: norm geometry mismatch"},
      {"short q norm", [](AttnLayer& L) { L.q_norm = vec(kHd - 1, 5); }, "attn_mixer: norm geometry mismatch"},
      {"short k norm", [](AttnLayer& L) { L.k_norm = vec(kHd - 1, 6); }, "attn_mixer: norm geometry mismatch"},
  };
  for (const auto& c : cases) {
    AttnLayer L;
    c.mutate(L);
    KvCache kv;
    auto x = input(50);
    const auto before = x;
    auto st = attn_step(L.g, L.tensors(), 0, kv, x);
    ASSERT_FALSE(st.ok()) << c.name;
    EXPECT_EQ(st.error().message, c.message) << c.name;
    EXPECT_EQ(x, before) << c.name;
  }
}

TEST(Attention, NanScoreNeverBecomesTheMaximum) {
  AttnLayer L;
  KvCache kv;
  auto x0 = input(60);
  ASSERT_TRUE(attn_step(L.g, L.tensors(), 0, kv, x0).ok());
  kv.k[0] = std::numeric_limits<float>::quiet_NaN();  // poisons kv head 0 at position 0
  auto x1 = input(61);
  auto y = attn_output(L.g, L.tensors(), 1, kv, x1);
  ASSERT_TRUE(y.ok());
  // Heads reading kv head 0 turn NaN and the output projection mixes them into all.
  for (float v : *y) EXPECT_TRUE(std::isnan(v));
}

TEST(Attention, ColumnFormsEqualSingleColumnsBitForBit) {
  AttnLayer L;
  Backend b = make_cpu(1);
  KvCache single, two, three;
  // One warm-up position so the columns attend over history.
  auto w0 = input(70), w1 = input(70), w2 = input(70);
  ASSERT_TRUE(attn_mixer(b, L.g, L.tensors(), 0, 1, single, testing::cols(w0)).ok());
  ASSERT_TRUE(attn_mixer(b, L.g, L.tensors(), 0, 2, two, testing::cols(w1)).ok());
  ASSERT_TRUE(attn_mixer(b, L.g, L.tensors(), 0, 3, three, testing::cols(w2)).ok());

  std::vector<std::vector<float>> s = {input(71), input(72), input(73)};
  auto c2 = s, c3 = s;
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(attn_mixer(b, L.g, L.tensors(), 1 + i, 1, single, testing::cols(s[i])).ok());
  ASSERT_TRUE(attn_mixer(b, L.g, L.tensors(), 1, 2, two, testing::cols(c2[0], c2[1])).ok());
  ASSERT_TRUE(attn_mixer(b, L.g, L.tensors(), 1, 3, three, testing::cols(c3[0], c3[1], c3[2])).ok());
  EXPECT_EQ(c2[0], s[0]);
  EXPECT_EQ(c2[1], s[1]);
  EXPECT_EQ(c3, s);
  EXPECT_EQ(three.k, single.k);
  EXPECT_EQ(three.v, single.v);
  EXPECT_EQ(two.k.size(), 3 * kKv * kHd);
  EXPECT_TRUE(std::equal(two.k.begin(), two.k.end(), single.k.begin()));

  // The first failing column stops the form; its error comes back.
  KvCache stale;
  auto a = input(74), c = input(75);
  auto st = attn_mixer(b, L.g, L.tensors(), 4, 2, stale, testing::cols(a, c));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message, "attn_mixer: kv cache length inconsistent with pos");
  EXPECT_EQ(c, input(75));
}

}  // namespace
}  // namespace kestrune
