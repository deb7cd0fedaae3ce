// The device kernels' per-lane arithmetic, run on the host: every lane's values must be
// the block decoders' values bit for bit, and the lanes of a warp must cover each
// element of a block exactly once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "backend/cuda/lanes.h"
#include "quant/blocks.h"
#include "quant/types.h"

namespace kestrune {
namespace {

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

TEST(CudaLanes, HalfConversionMatchesTheHost) {
  for (uint32_t h = 0; h < 65536; ++h) {
    ASSERT_EQ(bits(lanes::half_to_float(uint16_t(h))), bits(f16_to_f32(uint16_t(h)))) << h;
  }
}

// Random blocks whose halves include zeros, subnormals, the extremes and infinities.
std::vector<uint8_t> random_block(int bytes, std::mt19937& rng, std::initializer_list<int> half_at) {
  std::vector<uint8_t> b(static_cast<size_t>(bytes));
  for (auto& v : b) v = uint8_t(rng());
  const uint16_t specials[] = {0x0000, 0x8000, 0x0001, 0x03ff, 0x7bff, 0xfbff, 0x7c00, 0x3c00};
  for (int at : half_at) {
    const uint16_t h = rng() % 3 == 0 ? specials[rng() % 8] : uint16_t((rng() & 0x8000) | ((5 + rng() % 16) << 10) | (rng() & 0x3ff));
    b[size_t(at)] = uint8_t(h);
    b[size_t(at) + 1] = uint8_t(h >> 8);
  }
  return b;
}

template <class Fmt>
void check_kquant(void (*decode)(const uint8_t*, float*), std::initializer_list<int> half_at) {
  std::mt19937 rng(Fmt::kBytes);
  for (int trial = 0; trial < 200; ++trial) {
    const auto blk = random_block(Fmt::kBytes, rng, half_at);
    float want[256];
    decode(blk.data(), want);
    std::multiset<int> covered;
    for (int lane = 0; lane < 32; ++lane) {
      float va[4], vb[4];
      Fmt::values(blk.data(), lane, va, vb);
      const lanes::Runs r = Fmt::runs(lane);
      for (int t = 0; t < 4; ++t) {
        covered.insert(r.a + t);
        covered.insert(r.b + t);
        // NaN from inf * 0 keeps its bits on both sides: one expression, one order.
        ASSERT_EQ(bits(va[t]), bits(want[r.a + t])) << "lane " << lane << " element " << r.a + t;
        ASSERT_EQ(bits(vb[t]), bits(want[r.b + t])) << "lane " << lane << " element " << r.b + t;
      }
    }
    ASSERT_EQ(covered.size(), 256u);
    ASSERT_EQ(std::set<int>(covered.begin(), covered.end()).size(), 256u);
  }
}

TEST(CudaLanes, KQuantLanesDecodeLikeTheBlockDecoders) {
  check_kquant<lanes::FmtQ4K>(dequant_block_q4_k, {0, 2});
  check_kquant<lanes::FmtQ5K>(dequant_block_q5_k, {0, 2});
  check_kquant<lanes::FmtQ6K>(dequant_block_q6_k, {208});
}

TEST(CudaLanes, Q8LanesDecodeLikeTheBlockDecoder) {
  std::mt19937 rng(8);
  for (int trial = 0; trial < 500; ++trial) {
    const auto blk = random_block(34, rng, {0});
    float want[32];
    dequant_block_q8_0(blk.data(), want);
    for (int lane = 0; lane < 32; ++lane) ASSERT_EQ(bits(lanes::q8_0_value(blk.data(), lane)), bits(want[lane]));
  }
}

TEST(CudaLanes, ActivationQuantization) {
  struct Case {
    float x, amax;
    int q;
  };
  const Case cases[] = {
      {0.0f, 0.0f, 0},     {5.0f, 0.0f, 0},       // an all-zero block
      {2.0f, 2.0f, 127},   {-2.0f, 2.0f, -127},   // the extremes
      {0.5f, 127.0f, 0},   {1.5f, 127.0f, 2},     // ties to even
      {2.5f, 127.0f, 2},   {-1.5f, 127.0f, -2},
      {0.3f, 1.0f, 38},    {-0.996f, 1.0f, -126},
  };
  for (const auto& c : cases) EXPECT_EQ(lanes::quantize_q8(c.x, c.amax), c.q) << c.x << " / " << c.amax;
  EXPECT_EQ(lanes::q8_block_scale(0.0f), 0.0f);
  EXPECT_EQ(lanes::q8_block_scale(127.0f), 1.0f);
}

// Each lane's x8 contribution, summed over the warp, against the block decoder's values
// times the dequantized activations: the same products, grouped differently.
TEST(CudaLanes, Q4KInt8ProductAgreesWithTheDecodedProduct) {
  std::mt19937 rng(48);
  for (int trial = 0; trial < 100; ++trial) {
    auto blk = random_block(144, rng, {});
    // Finite scales: the int8 path has no special values to preserve.
    blk[0] = uint8_t(rng());
    blk[1] = uint8_t(0x20 + rng() % 8);
    blk[2] = uint8_t(rng());
    blk[3] = uint8_t(0x18 + rng() % 8);
    std::vector<float> x(256);
    std::normal_distribution<float> nd;
    for (auto& v : x) v = nd(rng);
    if (trial == 0) std::fill(x.begin(), x.begin() + 32, 0.0f);  // a zero block: scale 0
    int8_t xq[256];
    float xs[8];
    for (int b = 0; b < 8; ++b) {
      float amax = 0;
      for (int i = 0; i < 32; ++i) amax = std::fmax(amax, std::fabs(x[32 * b + i]));
      for (int i = 0; i < 32; ++i) xq[32 * b + i] = lanes::quantize_q8(x[32 * b + i], amax);
      xs[b] = lanes::q8_block_scale(amax);
      // Quantization error is at most half a step.
      for (int i = 0; i < 32; ++i) ASSERT_LE(std::fabs(xq[32 * b + i] * xs[b] - x[32 * b + i]), xs[b] * 0.5001f);
    }
    float w[256];
    dequant_block_q4_k(blk.data(), w);
    // The int8 path scales before it subtracts the minimums, so its rounding follows
    // the largest scale and minimum terms, not the difference.
    const double d = f16_to_f32(uint16_t(blk[0] | blk[1] << 8)), dmin = f16_to_f32(uint16_t(blk[2] | blk[3] << 8));
    double want = 0, mag = 0;
    for (int i = 0; i < 256; ++i) {
      want += double(w[i]) * xq[i] * xs[i / 32];
      mag += (std::fabs(d) * 63 * 15 + std::fabs(dmin) * 63) * std::fabs(xq[i] * xs[i / 32]);
    }
    double got = 0;
    for (int lane = 0; lane < 32; ++lane) got += lanes::q4k_x8_lane(blk.data(), lane, xq, xs);
    ASSERT_NEAR(got, want, 1e-5 * mag + 1e-30) << "trial " << trial;
  }
}

}  // namespace
}  // namespace kestrune
