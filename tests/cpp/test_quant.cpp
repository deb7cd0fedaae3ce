#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "quant/blocks.h"
#include "quant/types.h"

using namespace kestrune;

namespace {

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

TEST(Quant, TypeNames) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "F32"}, {1, "F16"}, {2, "Q4_0"}, {4, "UNK4"}, {5, "UNK5"}, {8, "Q8_0"}, {12, "Q4_K"},
      {14, "Q6_K"}, {29, "IQ1_M"}, {30, "BF16"}, {31, "UNK31"}, {4000000000u, "UNK4000000000"}};
  for (auto [id, name] : cases) EXPECT_EQ(type_name(id), name);
}

TEST(Quant, RowSizes) {
  struct Case {
    uint32_t type;
    std::vector<uint64_t> dims;
    uint64_t size;  // 0 with a message means failure
    const char* message;
  };
  const Case cases[] = {
      {kQ8_0, {4096, 2}, 4352, nullptr},
      {kQ8_0, {100}, 0, "t: ne0 100 not divisible by Q8_0 block 32"},
      {kQ6_K, {256}, 210, nullptr},
      {kQ4_K, {512}, 288, nullptr},
      {kQ5_K, {256}, 176, nullptr},
      {kQ4_K, {128}, 0, "t: ne0 128 not divisible by K-quant super-block 256"},
      {kF32, {7}, 28, nullptr},
      {kF16, {7}, 14, nullptr},
      {kF32, {}, 0, nullptr},
      {kQ6_K, {}, 0, nullptr},
      {kBF16, {64}, 0, "row size for BF16 unknown"},
      {2, {64}, 0, "row size for Q4_0 unknown"},
      {4, {64}, 0, "row size for UNK4 unknown"},
      {kF32, {uint64_t(1) << 63}, 0, "t: ne0 9223372036854775808 row size overflows"},
  };
  for (const auto& c : cases) {
    TensorInfo t{"t", c.dims, c.type, 0};
    auto r = row_size(t);
    if (c.message) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message, c.message);
    } else {
      ASSERT_TRUE(r.ok()) << r.error().message;
      EXPECT_EQ(r.value(), c.size);
    }
  }
}

TEST(Quant, HalfToFloat) {
  const std::pair<uint16_t, float> exact[] = {
      {0x3c00, 1.0f},       {0xc000, -2.0f},   {0x7bff, 65504.0f}, {0x0001, std::ldexp(1.0f, -24)},
      {0x03ff, std::ldexp(1023.0f, -24)}, {0x0400, std::ldexp(1.0f, -14)}, {0x3555, 0.333251953125f},
  };
  for (auto [h, f] : exact) EXPECT_EQ(bits_of(f16_to_f32(h)), bits_of(f)) << std::hex << h;
  EXPECT_EQ(bits_of(f16_to_f32(0x7c00)), bits_of(INFINITY));
  EXPECT_EQ(bits_of(f16_to_f32(0xfc00)), bits_of(-INFINITY));
  EXPECT_EQ(bits_of(f16_to_f32(0x8000)), 0x80000000u);
  EXPECT_EQ(bits_of(f16_to_f32(0x0000)), 0u);
  float nan = f16_to_f32(0x7e01);
  EXPECT_TRUE(std::isnan(nan));
  EXPECT_FALSE(std::signbit(nan));
  EXPECT_TRUE(std::signbit(f16_to_f32(0xfd00)));
  EXPECT_TRUE(std::isnan(f16_to_f32(0xfd00)));
  // Every finite half converts exactly: compare against a direct evaluation.
  for (uint32_t h = 0; h < 0x10000; ++h) {
    uint32_t e = (h >> 10) & 31, m = h & 1023;
    if (e == 31) continue;
    double mag = e == 0 ? std::ldexp(double(m), -24) : std::ldexp(double(1024 + m), int(e) - 25);
    double want = (h & 0x8000) ? -mag : mag;
    ASSERT_EQ(double(f16_to_f32(uint16_t(h))), want) << h;
  }
}

void put_f16(uint8_t* p, uint16_t h) {
  p[0] = uint8_t(h & 0xff);
  p[1] = uint8_t(h >> 8);
}

TEST(Quant, Q8_0Block) {
  uint8_t block[34] = {};
  put_f16(block, 0x3c00);  // d = 1
  for (int i = 0; i < 32; ++i) block[2 + i] = uint8_t(int8_t(i * 8 - 128));
  float out[32];
  dequant_block_q8_0(block, out);
  EXPECT_EQ(out[0], -128.0f);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(out[i], float(i * 8 - 128));
  put_f16(block, 0x3800);  // d = 0.5
  dequant_block_q8_0(block, out);
  EXPECT_EQ(out[31], 0.5f * 120.0f);
}

// Packs eight 6-bit scales and mins the way the K-quant blocks store them.
void pack_scales(const uint8_t sc[8], const uint8_t m[8], uint8_t s[12]) {
  std::memset(s, 0, 12);
  for (int j = 0; j < 4; ++j) {
    s[j] = uint8_t(sc[j] | (sc[j + 4] >> 4) << 6);
    s[j + 4] = uint8_t(m[j] | (m[j + 4] >> 4) << 6);
    s[j + 8] = uint8_t((sc[j + 4] & 15) | (m[j + 4] & 15) << 4);
  }
}

struct KBlockSpec {
  uint8_t sc[8], m[8];
  uint8_t q[256];  // 4- or 5-bit values in output order
};

KBlockSpec random_k_spec(std::mt19937& rng, int bits) {
  KBlockSpec s;
  for (int j = 0; j < 8; ++j) {
    s.sc[j] = uint8_t(rng() % 64);
    s.m[j] = uint8_t(rng() % 64);
  }
  // Cover the extremes of the 6-bit fields in the packed high bits.
  s.sc[7] = 63;
  s.m[4] = 63;
  s.sc[0] = 0;
  for (int i = 0; i < 256; ++i) s.q[i] = uint8_t(rng() % (1u << bits));
  return s;
}

TEST(Quant, Q4KAndQ5KBlocksEverySubBlock) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 50; ++trial) {
    for (int bits : {4, 5}) {
      KBlockSpec s = random_k_spec(rng, bits);
      std::vector<uint8_t> block(bits == 4 ? 144 : 176, 0);
      put_f16(block.data(), 0x3400);      // d = 0.25
      put_f16(block.data() + 2, 0x2e00);  // dmin = 0.09375
      pack_scales(s.sc, s.m, block.data() + 4);
      uint8_t* qs = block.data() + (bits == 4 ? 16 : 48);
      uint8_t* qh = block.data() + 16;
      for (int g = 0; g < 4; ++g) {
        for (int l = 0; l < 32; ++l) {
          uint8_t lo = s.q[64 * g + l], hi = s.q[64 * g + 32 + l];
          qs[32 * g + l] = uint8_t((lo & 15) | (hi & 15) << 4);
          if (bits == 5) qh[l] |= uint8_t(((lo >> 4) & 1) << (2 * g) | ((hi >> 4) & 1) << (2 * g + 1));
        }
      }
      float out[256];
      if (bits == 4) {
        dequant_block_q4_k(block.data(), out);
      } else {
        dequant_block_q5_k(block.data(), out);
      }
      for (int i = 0; i < 256; ++i) {
        int j = i / 32;
        float want = (0.25f * float(s.sc[j])) * float(s.q[i]) - 0.09375f * float(s.m[j]);
        ASSERT_EQ(bits_of(out[i]), bits_of(want)) << "bits " << bits << " i " << i;
      }
    }
  }
}

TEST(Quant, Q6KBlock) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 50; ++trial) {
    int8_t sc[16];
    uint8_t q[256];
    for (auto& v : sc) v = int8_t(int(rng() % 256) - 128);
    sc[3] = -128;
    for (auto& v : q) v = uint8_t(rng() % 64);
    uint8_t block[210] = {};
    std::memcpy(block + 192, sc, 16);
    put_f16(block + 208, 0x2c00);  // d = 0.0625
    // Value v = 128h + 32k + l sits in ql nibble (k&1 ? high : low) of byte 64h + l + 32*(k&... )
    for (int h = 0; h < 2; ++h) {
      for (int l = 0; l < 32; ++l) {
        for (int k = 0; k < 4; ++k) {
          uint8_t v = q[128 * h + 32 * k + l];
          uint8_t& lo = block[64 * h + l + (k & 1) * 32];
          lo = uint8_t(lo | (v & 15) << ((k >> 1) * 4));
          block[128 + 32 * h + l] = uint8_t(block[128 + 32 * h + l] | (v >> 4) << (2 * k));
        }
      }
    }
    float out[256];
    dequant_block_q6_k(block, out);
    for (int i = 0; i < 256; ++i) {
      int h = i / 128, k = (i % 128) / 32, l = i % 32;
      float want = 0.0625f * float(sc[8 * h + l / 16 + 2 * k]) * float(int(q[i]) - 32);
      ASSERT_EQ(bits_of(out[i]), bits_of(want)) << i;
    }
  }
  // All-zero quantized values give -32 * d * sc.
  uint8_t block[210] = {};
  for (int i = 0; i < 16; ++i) block[192 + i] = uint8_t(int8_t(i - 8));
  put_f16(block + 208, 0x3c00);
  float out[256];
  dequant_block_q6_k(block, out);
  for (int i = 0; i < 256; ++i) {
    int h = i / 128, k = (i % 128) / 32, l = i % 32;
    EXPECT_EQ(out[i], -32.0f * float(8 * h + l / 16 + 2 * k - 8));
  }
}

TEST(Quant, DequantValuesRejectsUnusableTypes) {
  float out[4];
  uint8_t bytes[16] = {};
  auto r = dequant_values(kBF16, bytes, 4, out);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "dequant for BF16 not implemented");
  ASSERT_TRUE(dequant_values(kF16, bytes, 4, out).ok());
  EXPECT_EQ(out[3], 0.0f);
}

}  // namespace
