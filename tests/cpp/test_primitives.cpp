#include <gtest/gtest.h>
#include <math.h>

#include <cstring>
#include <limits>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/primitives.h"
#include "model/layers.h"
#include "quant/types.h"

namespace kestrune {
namespace {

// A stored F32 tensor held in memory.
struct StoredF32 {
  TensorInfo info;
  std::vector<float> data;
  TensorView view() const {
    return TensorView{&info, reinterpret_cast<const uint8_t*>(data.data()), data.size() * sizeof(float)};
  }
};

StoredF32 stored(const std::string& name, uint64_t ne0, uint64_t ne1, float base) {
  StoredF32 t;
  t.info = TensorInfo{name, {ne0, ne1}, kF32, 0};
  for (uint64_t i = 0; i < ne0 * ne1; ++i) t.data.push_back(base + 0.25f * static_cast<float>(i % 7) - 0.5f);
  return t;
}

TEST(Primitives, DotIsStrictlyLeftToRight) {
  // Left to right: (1e8 + 1) rounds to 1e8, minus 1e8 is 0, plus 1 is 1. Any pairwise or
  // multi-lane order gives 0 or 2.
  const std::vector<float> a = {1e8f, 1.0f, -1e8f, 1.0f};
  const std::vector<float> ones = {1, 1, 1, 1};
  EXPECT_EQ(dot(a, ones), 1.0f);
}

TEST(Primitives, DotPairsPositionallyOverCommonLength) {
  const std::vector<float> a = {1, 2, 3};
  const std::vector<float> b = {4, 5};
  EXPECT_EQ(dot(a, b), 14.0f);
  EXPECT_EQ(dot(a, {}), 0.0f);
}

TEST(Primitives, MatvecF32RowsAndShortX) {
  const std::vector<float> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};  // 2.5 rows of 4
  auto y = matvec_f32(4, data, std::vector<float>{1, 1});
  ASSERT_TRUE(y.ok());
  EXPECT_EQ(*y, (std::vector<float>{3, 11}));  // only the first two columns
  auto empty = matvec_f32(16, data, std::vector<float>{1});
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
  auto zero = matvec_f32(0, data, std::vector<float>{1});
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().message, "matvec_f32: ne0 is 0");
}

TEST(Primitives, MatvecTensorMatchesDenseAndChecksLength) {
  StoredF32 t = stored("w.weight", 8, 5, 1.0f);
  std::vector<float> x(8);
  for (int i = 0; i < 8; ++i) x[i] = 0.1f * static_cast<float>(i) - 0.3f;
  auto streamed = matvec_tensor(t.view(), x);
  auto dense = matvec_f32(8, t.data, x);
  ASSERT_TRUE(streamed.ok() && dense.ok());
  EXPECT_EQ(*streamed, *dense);
  ASSERT_EQ(streamed->size(), 5u);

  x.push_back(1.0f);
  auto bad = matvec_tensor(t.view(), x);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "w.weight: matvec x len 9 != ne0 8");
}

TEST(Primitives, MatvecTensorPassesRowErrors) {
  StoredF32 t = stored("odd.weight", 4, 3, 0.0f);
  t.info.type = 99;  // no decoder: the first row fetch fails
  auto r = matvec_tensor(t.view(), std::vector<float>(4, 1.0f));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "row size for UNK99 unknown");
}

TEST(Primitives, RmsNormFormulaAndZeros) {
  const std::vector<float> x = {3, 4};
  const std::vector<float> w = {1, 2, 7};  // longer than x is fine
  auto y = rms_norm(x, w, 0.5f);
  ASSERT_TRUE(y.ok());
  const float inv = 1.0f / sqrtf(0.5f + 12.5f);
  EXPECT_EQ((*y)[0], (3.0f * inv) * 1.0f);
  EXPECT_EQ((*y)[1], (4.0f * inv) * 2.0f);

  auto z = rms_norm(std::vector<float>(4, 0.0f), std::vector<float>(4, 3.0f), 1e-6f);
  ASSERT_TRUE(z.ok());
  for (float v : *z) EXPECT_EQ(v, 0.0f);
}

TEST(Primitives, RmsNormShortWeightIsAnError) {
  auto y = rms_norm(std::vector<float>(4, 1.0f), std::vector<float>(3, 1.0f), 1e-6f, "lens");
  ASSERT_FALSE(y.ok());
  EXPECT_EQ(y.error().message, "lens: norm weight 3 < 4");
}

TEST(Primitives, Activations) {
  struct Case {
    float z, softplus_want;
  };
  const Case cases[] = {
      {20.0f, logf(expf(20.0f) + 1.0f)},  // the threshold itself takes the log form
      {20.0001f, 20.0001f},
      {25.0f, 25.0f},
      {0.0f, logf(2.0f)},
      {-30.0f, logf(expf(-30.0f) + 1.0f)},
  };
  for (const auto& c : cases) EXPECT_EQ(softplus(c.z), c.softplus_want) << c.z;

  EXPECT_EQ(sigmoid(0.0f), 0.5f);
  EXPECT_EQ(silu(0.0f), 0.0f);
  EXPECT_EQ(silu(2.0f), (1.0f / (expf(-2.0f) + 1.0f)) * 2.0f);
  // expf(200) overflows: the activation is -0, not NaN.
  const float s = silu(-200.0f);
  EXPECT_EQ(s, 0.0f);
  EXPECT_TRUE(std::signbit(s));
}

TEST(Primitives, LogitsHeadIsTheNormedProductOfEveryColumn) {
  StoredF32 head = stored("output.weight", 4, 6, 0.5f);
  const std::vector<float> x = {1, -2, 3, 0.5f}, x1 = {0.5f, 0.25f, -1, 2};
  const std::vector<float> w = {1, 1, 1, 1};
  Backend b = make_cpu(1);
  const Matrix m{head.view()};
  auto one = [&](const std::vector<float>& xi) -> Result<Columns> {
    KS_TRY(Activations a, upload(b, Columns{xi}));
    return logits_head(b, w, m, 1e-6f, a);
  };
  auto single = one(x);
  ASSERT_TRUE(single.ok()) << single.error().message;
  EXPECT_EQ((*single)[0], *matvec_tensor(head.view(), *rms_norm(x, w, 1e-6f)));

  // The column form is the single form once per column.
  auto a2 = upload(b, Columns{x, x1});
  auto both = logits_head(b, w, m, 1e-6f, *a2);
  ASSERT_TRUE(both.ok());
  EXPECT_EQ((*both)[0], (*single)[0]);
  EXPECT_EQ((*both)[1], (*one(x1))[0]);

  // A norm shorter than the columns is refused before any product.
  auto short_norm = logits_head(b, std::span<const float>(w).first(3), m, 1e-6f, *a2);
  ASSERT_FALSE(short_norm.ok());
  EXPECT_EQ(short_norm.error().message, "output_norm: norm weight 3 < 4");
}

}  // namespace
}  // namespace kestrune
