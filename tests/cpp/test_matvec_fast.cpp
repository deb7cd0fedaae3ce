// The many-rows product against an independent scalar reference, bit for bit, on every
// element type and every SIMD level this CPU runs.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu/dequant_fast.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/matvec_kernels.h"
#include "backend/cpu/repack.h"
#include "backend/cpu/thread_pool.h"
#include "gguf_builder.h"
#include "quant/blocks.h"
#include "quant/types.h"
#include "weights/model_file.h"

namespace kestrune {
namespace {

const MatvecIsa kIsas[] = {MatvecIsa::kScalar, MatvecIsa::kAvx2, MatvecIsa::kAvx512};
const uint32_t kTypes[] = {kF32, kF16, kQ8_0, kQ4_K, kQ5_K, kQ6_K};

// Halves that stress a scale: zeros of both signs, subnormals, the extremes, infinities,
// quiet and signalling NaNs.
const uint16_t kSpecialHalves[] = {0x0000, 0x8000, 0x0001, 0x8001, 0x03ff, 0x0400, 0x7bff,
                                   0xfbff, 0x7c00, 0xfc00, 0x7e00, 0xfe01, 0x7d00, 0x3c00};

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// y[r] = s + row[i]*x[i] from zero, left to right, straight from the block decoders.
std::vector<float> reference(const TensorView& view, std::span<const float> x, size_t rows) {
  std::vector<float> y(rows);
  const size_t n = std::min<size_t>(view.ne0(), x.size());
  for (size_t r = 0; r < rows; ++r) {
    auto row = dequant_row(view, r);
    EXPECT_TRUE(row.ok()) << row.error().message;
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) s = s + (*row)[i] * x[i];
    y[r] = s;
  }
  return y;
}

// Bit patterns, so that -0.0, infinities and NaN payloads all count. Where two
// different NaNs meet in one add, which payload survives is the compiler's choice of
// operand order on either side, so `any_nan` accepts any NaN for a NaN.
void expect_same_bits(const std::vector<float>& want, const std::vector<float>& got, const std::string& what,
                      bool any_nan = false) {
  ASSERT_EQ(want.size(), got.size()) << what;
  for (size_t r = 0; r < want.size(); ++r) {
    if (any_nan && std::isnan(want[r]) && std::isnan(got[r])) continue;
    ASSERT_EQ(bits(want[r]), bits(got[r])) << what << " row " << r << ": want " << want[r] << " got " << got[r];
  }
}

uint16_t random_half(std::mt19937& rng, bool special) {
  if (special && rng() % 4 == 0) return kSpecialHalves[rng() % std::size(kSpecialHalves)];
  // Finite, modest magnitudes: sign, exponent 5..20, any mantissa.
  return uint16_t((rng() & 0x8000) | ((5 + rng() % 16) << 10) | (rng() & 0x3ff));
}

float random_float(std::mt19937& rng) {
  std::uniform_real_distribution<float> mant(0.5f, 1.0f);
  const float v = std::ldexp(mant(rng), int(rng() % 24) - 12);
  return rng() & 1 ? -v : v;
}

void put_half(uint8_t* p, uint16_t h) {
  p[0] = uint8_t(h);
  p[1] = uint8_t(h >> 8);
}

// Random rows of `type`; block scales come from `special` halves now and then.
std::vector<uint8_t> random_rows(uint32_t type, uint64_t ne0, uint64_t rows, std::mt19937& rng, bool special) {
  const BlockFormat* fmt = block_format(type);
  const uint64_t blocks = ne0 / fmt->values * rows;
  std::vector<uint8_t> data(blocks * fmt->bytes);
  for (auto& b : data) b = uint8_t(rng());
  for (uint64_t k = 0; k < blocks; ++k) {
    uint8_t* blk = data.data() + k * fmt->bytes;
    switch (type) {
      case kF32: {
        float v = random_float(rng);
        if (special && rng() % 8 == 0) {
          const float s[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(), -1e38f, 1e-40f,
                             std::numeric_limits<float>::quiet_NaN()};
          v = s[rng() % std::size(s)];
        }
        std::memcpy(blk, &v, 4);
        break;
      }
      case kF16:
        put_half(blk, random_half(rng, special));
        break;
      case kQ8_0:
        put_half(blk, random_half(rng, special));
        break;
      case kQ4_K:
      case kQ5_K:
        put_half(blk, random_half(rng, special));
        put_half(blk + 2, random_half(rng, special));
        break;
      case kQ6_K:
        put_half(blk + 208, random_half(rng, special));
        break;
    }
  }
  return data;
}

struct Matrix {
  TensorInfo info;
  std::vector<uint8_t> data;
  TensorView view() const { return TensorView{&info, data.data(), data.size()}; }
};

Matrix matrix(uint32_t type, uint64_t ne0, uint64_t rows, std::mt19937& rng, bool special = false) {
  Matrix m;
  m.info = TensorInfo{"w", {ne0, rows}, type, 0};
  m.data = random_rows(type, ne0, rows, rng, special);
  return m;
}

std::vector<float> random_x(size_t n, std::mt19937& rng) {
  std::vector<float> x(n);
  for (auto& v : x) v = random_float(rng);
  return x;
}

// The product into n outputs; the 32 floats after them must stay untouched.
Result<std::vector<float>> run(MatvecIsa isa, const RowSource& rows, std::span<const float> x, size_t n) {
  std::vector<float> y(n + 32, 12345.0f);
  KS_CHECK(matvec_rows_isa(isa, rows, x, std::span<float>(y).first(n)));
  for (size_t i = n; i < y.size(); ++i) EXPECT_EQ(y[i], 12345.0f) << "output " << i << " of " << n << " written";
  y.resize(n);
  return y;
}

class MatvecFast : public ::testing::TestWithParam<std::tuple<MatvecIsa, uint32_t>> {
 protected:
  void SetUp() override {
    if (!matvec_isa_supported(isa())) GTEST_SKIP() << matvec_isa_name(isa()) << " not on this CPU";
  }
  MatvecIsa isa() const { return std::get<0>(GetParam()); }
  uint32_t type() const { return std::get<1>(GetParam()); }
  uint64_t block() const { return block_format(type())->values; }

  void check(const Matrix& m, std::span<const float> x, const std::string& what, bool any_nan = false) {
    const TensorView v = m.view();
    auto got = run(isa(), v, x, v.rows());
    ASSERT_TRUE(got.ok()) << what << ": " << got.error().message;
    expect_same_bits(reference(v, x, v.rows()), *got, what, any_nan);
  }
};

TEST_P(MatvecFast, OddRowCountsAndLengths) {
  std::mt19937 rng(7 + type());
  const uint64_t rows_list[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 64, 65, 97};
  // Row lengths in values: block multiples, and for the float types odd ones too.
  std::vector<uint64_t> lengths;
  if (block() == 1) {
    lengths = {1, 5, 8, 15, 16, 17, 31, 32, 33, 63, 100};
  } else {
    for (uint64_t k : {1, 2, 3, 5}) lengths.push_back(k * block());
    // Q8_0 rows are read 16 blocks at a time: cross that step, and end just past it.
    if (type() == kQ8_0) {
      for (uint64_t k : {15, 16, 17, 33}) lengths.push_back(k * block());
    }
  }
  for (uint64_t ne0 : lengths) {
    for (uint64_t rows : rows_list) {
      const Matrix m = matrix(type(), ne0, rows, rng);
      const auto x = random_x(ne0, rng);
      check(m, x, "ne0 " + std::to_string(ne0) + " rows " + std::to_string(rows));
    }
  }
}

// One read of the rows for up to four columns, then column by column past four or when
// the lengths differ: every output equals its own column's reference product.
TEST_P(MatvecFast, SeveralColumnsAtOnce) {
  std::mt19937 rng(17 + type());
  const uint64_t ne0 = block() == 1 ? 37 : (type() == kQ8_0 ? 17 : 2) * block();
  for (uint64_t rows : {uint64_t(1), uint64_t(9), uint64_t(33), uint64_t(50)}) {
    const Matrix m = matrix(type(), ne0, rows, rng, true);
    const TensorView v = m.view();
    for (size_t cols : {1, 2, 3, 4, 5, 7}) {
      for (bool ragged : {false, true}) {
        std::vector<std::vector<float>> xs, ys(cols, std::vector<float>(rows + 8, 12345.0f));
        for (size_t c = 0; c < cols; ++c) xs.push_back(random_x(ragged && c == 1 ? ne0 / 2 + 1 : ne0, rng));
        std::vector<std::span<const float>> in(xs.begin(), xs.end());
        std::vector<std::span<float>> out;
        for (auto& y : ys) out.push_back(std::span<float>(y).first(rows));
        const Status st = matvec_rows_isa_multi(isa(), v, in, out);
        ASSERT_TRUE(st.ok()) << st.error().message;
        for (size_t c = 0; c < cols; ++c) {
          const std::string what = std::to_string(cols) + " columns" + (ragged ? " (ragged)" : "") + ", rows " +
                                   std::to_string(rows) + ", column " + std::to_string(c);
          for (size_t i = rows; i < ys[c].size(); ++i) ASSERT_EQ(ys[c][i], 12345.0f) << what << " wrote past";
          ys[c].resize(rows);
          expect_same_bits(reference(v, xs[c], rows), ys[c], what, true);
        }
      }
    }
  }
}

TEST_P(MatvecFast, ShortAndLongX) {
  std::mt19937 rng(11 + type());
  const uint64_t ne0 = block() == 1 ? 70 : (type() == kQ8_0 ? 20 : 3) * block();
  const Matrix m = matrix(type(), ne0, 37, rng);
  // Fewer columns than a row ends mid-block (and mid-segment); more are ignored.
  for (uint64_t len : {uint64_t(0), uint64_t(1), uint64_t(15), uint64_t(16), uint64_t(17), uint64_t(33),
                       block() + 1, ne0 / 2, ne0 - 1, ne0, ne0 + 9}) {
    const auto x = random_x(len, rng);
    check(m, x, "x len " + std::to_string(len));
  }
}

TEST_P(MatvecFast, SpecialScalesAndValues) {
  std::mt19937 rng(13 + type());
  const uint64_t ne0 = block() == 1 ? 48 : 2 * block();
  for (int trial = 0; trial < 6; ++trial) {
    const Matrix m = matrix(type(), ne0, 41, rng, /*special=*/true);
    auto x = random_x(ne0, rng);
    // Large, tiny and signed-zero inputs push sums to infinity, NaN and subnormals.
    x[rng() % ne0] = -0.0f;
    x[rng() % ne0] = 3e38f;
    x[rng() % ne0] = 1e-39f;
    if (trial % 2) x[rng() % ne0] = std::numeric_limits<float>::infinity();
    check(m, x, "trial " + std::to_string(trial), /*any_nan=*/true);
  }
}

TEST_P(MatvecFast, OneNanSourceKeepsItsPayload) {
  // Each row meets exactly one NaN (a scale, or for float rows one value) with its own
  // payload; nothing else is NaN or infinite, so the payload is fixed and must survive.
  std::mt19937 rng(43 + type());
  const uint64_t ne0 = block() == 1 ? 40 : 2 * block();
  const uint64_t rows = 35;
  Matrix m = matrix(type(), ne0, rows, rng);
  const BlockFormat* fmt = block_format(type());
  const uint64_t row_bytes = ne0 / fmt->values * fmt->bytes;
  for (uint64_t r = 0; r < rows; ++r) {
    uint8_t* blk = m.data.data() + r * row_bytes + (r % (ne0 / fmt->values)) * fmt->bytes;
    const uint16_t nan16 = uint16_t(((r & 1) << 15) | 0x7c00 | (1 + r * 29 % 1023));
    switch (type()) {
      case kF32: {
        const uint32_t nan32 = uint32_t((r & 1) << 31) | 0x7f800000u | uint32_t(1 + r * 7919);
        std::memcpy(blk, &nan32, 4);
        break;
      }
      case kQ6_K:
        put_half(blk + 208, nan16);
        break;
      default:
        put_half(blk, nan16);  // d of F16, Q8_0, Q4_K, Q5_K
    }
  }
  const auto x = random_x(ne0, rng);
  check(m, x, "payloads");
}

TEST_P(MatvecFast, RowsPastTheTensorFailAsTheRowFetchDoes) {
  std::mt19937 rng(17 + type());
  const uint64_t ne0 = block() == 1 ? 20 : block();
  const Matrix m = matrix(type(), ne0, 19, rng);
  const auto x = random_x(ne0, rng);
  std::vector<float> want(23, 1.0f), got(23, 1.0f);
  const Status ref = matvec_rows_isa(MatvecIsa::kScalar, m.view(), x, want);
  const Status fast = matvec_rows_isa(isa(), m.view(), x, got);
  ASSERT_FALSE(ref.ok());
  ASSERT_FALSE(fast.ok());
  EXPECT_EQ(fast.error().message, ref.error().message);
  EXPECT_EQ(fast.error().message, "row 19 out of range (19)");
  // The rows before the failure are written, the rest left alone, as in the reference.
  expect_same_bits(want, got, "partial");
  EXPECT_EQ(got[22], 1.0f);
}

// The packed copy gives the plain rows' bits: every row count around a group of 16,
// views starting inside a group (as a thread's share of the rows does), one to four
// columns, and the decoded rows the many-column products start from.
TEST_P(MatvecFast, PackedCopyKeepsTheBits) {
  if (!packable_type(type()) || isa() == MatvecIsa::kScalar) GTEST_SKIP() << "no packed layout";
  std::mt19937 rng(23 + type());
  const uint64_t blocks_list[] = {1, 3, type() == kQ8_0 ? 17u : 2u};
  for (uint64_t blocks : blocks_list) {
    for (uint64_t rows : {1, 15, 16, 17, 40, 97}) {
      const Matrix m = matrix(type(), blocks * block(), rows, rng, true);
      auto packed = repack_tensor(m.view(), false);
      ASSERT_TRUE(packed.ok()) << packed.error().message;
      TensorView pv = m.view();
      pv.packed = &(*packed)->rows;
      const uint64_t ne0 = blocks * block();
      std::vector<float> group(16 * ne0);
      for (uint64_t r = 0; r < rows; ++r) {
        std::vector<float> got(ne0), lanes(ne0);
        ASSERT_TRUE(packed_dequant_row((*packed)->rows, r, got.data()).ok());
        expect_same_bits(*dequant_row(m.view(), r), got, "decoded row " + std::to_string(r));
#if defined(__x86_64__) || defined(__i386__)
        // The SIMD decoders of whole groups, at this level.
        if (r % 16 == 0) {
          (isa() == MatvecIsa::kAvx512 ? matvec_detail::packed_group_avx512
                                       : matvec_detail::packed_group_avx2)((*packed)->rows, r / 16, group.data());
        }
        for (uint64_t c = 0; c < ne0; ++c) lanes[c] = group[16 * c + r % 16];
        expect_same_bits(got, lanes, "group-decoded row " + std::to_string(r));
#endif
      }
      for (uint64_t first : {uint64_t(0), uint64_t(5), uint64_t(16)}) {
        if (first >= rows) continue;
        const size_t n = rows - first;
        const uint64_t skip = first * (m.data.size() / rows);
        const TensorView plain{&m.info, m.data.data() + skip, m.data.size() - skip};
        TensorView sub = plain;
        sub.packed = pv.packed;
        for (size_t cols = 1; cols <= 4; ++cols) {
          std::vector<std::vector<float>> xs, want(cols, std::vector<float>(n)), got(cols, std::vector<float>(n));
          for (size_t c = 0; c < cols; ++c) xs.push_back(random_x(ne0, rng));
          std::vector<std::span<const float>> in(xs.begin(), xs.end());
          std::vector<std::span<float>> out_want(want.begin(), want.end()), out_got(got.begin(), got.end());
          ASSERT_TRUE(matvec_rows_isa_multi(isa(), plain, in, out_want).ok());
          ASSERT_TRUE(matvec_rows_isa_multi(isa(), sub, in, out_got).ok());
          for (size_t c = 0; c < cols; ++c) {
            expect_same_bits(want[c], got[c],
                             "rows " + std::to_string(rows) + " from " + std::to_string(first) + ", " +
                                 std::to_string(cols) + " columns, column " + std::to_string(c),
                             true);
          }
        }
      }
    }
  }
}

// Tensors without a packed layout, or whose bytes do not hold their rows, are refused.
TEST(Repack, RefusesWhatItCannotPack) {
  std::mt19937 rng(31);
  const Matrix q8 = matrix(kQ8_0, 64, 4, rng), f32 = matrix(kF32, 64, 4, rng);
  TensorInfo ragged{"w", {48, 4}, kQ8_0, 0};
  struct Case {
    const char* what;
    TensorView view;
  };
  const Case cases[] = {
      {"no tensor", TensorView{}},
      {"no bytes", TensorView{&q8.info, nullptr, q8.data.size()}},
      {"f32", f32.view()},
      {"rows not whole blocks", TensorView{&ragged, q8.data.data(), q8.data.size()}},
      {"bytes short of the rows", TensorView{&q8.info, q8.data.data(), q8.data.size() - 1}},
  };
  for (const Case& c : cases) EXPECT_FALSE(repack_tensor(c.view, false).ok()) << c.what;
}

// Split across threads and through the many-column panels, a packed tensor still gives
// the bits of the plain one.
TEST_P(MatvecFast, PackedCopyAcrossThreadsAndPanels) {
  if (!packable_type(type()) || isa() != matvec_best_isa()) GTEST_SKIP() << "once per type, at the used level";
  std::mt19937 rng(29 + type());
  const uint64_t ne0 = 512, rows = 300;  // enough work for the pool to split mid-group
  const Matrix m = matrix(type(), ne0, rows, rng, true);
  auto packed = repack_tensor(m.view(), false);
  ASSERT_TRUE(packed.ok());
  TensorView pv = m.view();
  pv.packed = &(*packed)->rows;
  auto pool = make_thread_pool(2);
  for (size_t cols : {1, 3, 9}) {
    Columns xs, want(cols, std::vector<float>(rows)), got(cols, std::vector<float>(rows));
    for (size_t c = 0; c < cols; ++c) xs.push_back(random_x(ne0, rng));
    for (ThreadPool* p : {static_cast<ThreadPool*>(nullptr), pool.get()}) {
      ASSERT_TRUE(matvec_rows_multi(m.view(), column_spans(xs), column_spans_mut(want), nullptr).ok());
      ASSERT_TRUE(matvec_rows_multi(pv, column_spans(xs), column_spans_mut(got), p).ok());
      for (size_t c = 0; c < cols; ++c) {
        expect_same_bits(want[c], got[c], std::to_string(cols) + " columns, " + (p ? "2 threads" : "1 thread"), true);
      }
    }
  }
}

std::string param_name(const ::testing::TestParamInfo<std::tuple<MatvecIsa, uint32_t>>& info) {
  return std::string(matvec_isa_name(std::get<0>(info.param))) + "_" + type_name(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, MatvecFast, ::testing::Combine(::testing::ValuesIn(kIsas), ::testing::ValuesIn(kTypes)),
                         param_name);

class MatvecFastLevel : public ::testing::TestWithParam<MatvecIsa> {
 protected:
  void SetUp() override {
    if (!matvec_isa_supported(GetParam())) GTEST_SKIP() << matvec_isa_name(GetParam()) << " not on this CPU";
  }
};

TEST_P(MatvecFastLevel, EveryHalfAsAnF16Weight) {
  // 65536 rows of one half each: every bit pattern meets x alone, so even NaN payloads
  // are fixed. Then the same halves as 256 rows of 256, where NaNs meet each other.
  Matrix m;
  m.info = TensorInfo{"h", {1, 65536}, kF16, 0};
  for (uint32_t h = 0; h < 65536; ++h) {
    m.data.push_back(uint8_t(h));
    m.data.push_back(uint8_t(h >> 8));
  }
  for (float scale : {1.0f, -2.0f}) {
    const std::vector<float> x = {scale};
    auto got = run(GetParam(), m.view(), x, 65536);
    ASSERT_TRUE(got.ok());
    expect_same_bits(reference(m.view(), x, 65536), *got, "one half per row");
  }
  m.info = TensorInfo{"h", {256, 256}, kF16, 0};
  std::mt19937 rng(19);
  const auto x = random_x(256, rng);
  auto got = run(GetParam(), m.view(), x, 256);
  ASSERT_TRUE(got.ok());
  expect_same_bits(reference(m.view(), x, 256), *got, "256 halves per row", /*any_nan=*/true);
}

TEST_P(MatvecFastLevel, SumsRunLeftToRight) {
  // Left to right, (1e8 + 1) rounds to 1e8 and the row sums to 1; any split or
  // reassociated order gives 0 or 2.
  std::vector<float> data;
  for (int r = 0; r < 40; ++r) {
    for (float v : {1e8f, 1.0f, -1e8f, 1.0f}) data.push_back(v * float(r + 1));
  }
  const std::vector<float> x = {1, 1, 1, 1};
  auto got = run(GetParam(), DenseRows{data.data(), 4}, x, 40);
  ASSERT_TRUE(got.ok());
  for (int r = 0; r < 40; ++r) {
    float s = 0.0f;
    for (int i = 0; i < 4; ++i) s = s + data[4 * r + i] * x[i];
    EXPECT_EQ(bits((*got)[r]), bits(s)) << r;
  }
  EXPECT_EQ((*got)[0], 1.0f);
}

TEST_P(MatvecFastLevel, DenseRowsPairPositionally) {
  std::mt19937 rng(23);
  for (uint64_t ne0 : {1, 3, 16, 17, 40}) {
    for (size_t rows : {1, 5, 16, 33}) {
      std::vector<float> data(ne0 * rows);
      for (auto& v : data) v = random_float(rng);
      for (size_t len : {size_t(0), size_t(1), size_t(ne0 - 1), size_t(ne0), size_t(ne0 + 5)}) {
        const auto x = random_x(len, rng);
        auto got = run(GetParam(), DenseRows{data.data(), ne0}, x, rows);
        ASSERT_TRUE(got.ok());
        std::vector<float> want(rows);
        for (size_t r = 0; r < rows; ++r) {
          float s = 0.0f;
          for (size_t i = 0; i < std::min<size_t>(ne0, len); ++i) s = s + data[r * ne0 + i] * x[i];
          want[r] = s;
        }
        expect_same_bits(want, *got, "ne0 " + std::to_string(ne0) + " len " + std::to_string(len));
      }
    }
  }
}

TEST_P(MatvecFastLevel, RefusalsMatchTheReference) {
  std::mt19937 rng(29);
  const auto x = random_x(64, rng);
  struct Case {
    const char* what;
    TensorInfo info;
    size_t bytes;
    const char* message;
  };
  const Case cases[] = {
      {"unusable type", TensorInfo{"b", {64, 4}, kBF16, 0}, 512, "row size for BF16 unknown"},
      {"ragged Q8_0 rows", TensorInfo{"q", {40, 4}, kQ8_0, 0}, 512, "q: ne0 40 not divisible by Q8_0 block 32"},
      {"no rows", TensorInfo{"z", {64, 0}, kF32, 0}, 0, "row 0 out of range (0)"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes(c.bytes + 1);
    const TensorView view{&c.info, bytes.data(), c.bytes};
    std::vector<float> y(4, 0.5f);
    const Status st = matvec_rows_isa(GetParam(), view, x, y);
    ASSERT_FALSE(st.ok()) << c.what;
    EXPECT_EQ(st.error().message, c.message) << c.what;
    // Nothing to compute: an empty output succeeds without looking at the rows.
    EXPECT_TRUE(matvec_rows_isa(GetParam(), view, x, std::span<float>()).ok()) << c.what;
  }
}

TEST_P(MatvecFastLevel, ReadsNothingPastTheTensor) {
  // Each tensor ends exactly where an inaccessible page begins.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::mt19937 rng(31);
  for (uint32_t type : kTypes) {
    const uint64_t ne0 = block_format(type)->values == 1 ? 33 : block_format(type)->values * 3;
    const Matrix src = matrix(type, ne0, 21, rng);
    const size_t span = (src.data.size() + page - 1) / page * page;
    void* mem = mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t*>(mem) + span, page, PROT_NONE), 0);
    uint8_t* start = static_cast<uint8_t*>(mem) + span - src.data.size();
    std::memcpy(start, src.data.data(), src.data.size());
    const TensorView view{&src.info, start, src.data.size()};
    const auto x = random_x(ne0, rng);
    auto got = run(GetParam(), view, x, 21);
    ASSERT_TRUE(got.ok());
    expect_same_bits(reference(src.view(), x, 21), *got, type_name(type));
    munmap(mem, span + page);
  }
}

TEST_P(MatvecFastLevel, TensorFromGgufBytes) {
  // A Q4_K and a Q8_0 tensor read through the weight store's own view.
  std::mt19937 rng(37);
  const Matrix a = matrix(kQ4_K, 512, 18, rng), b = matrix(kQ8_0, 96, 35, rng);
  testing::GgufBuilder g;
  g.header(2, 0).tensor("a", {512, 18}, kQ4_K, 0).tensor("b", {96, 35}, kQ8_0, a.data.size());
  g.pad_to(32);
  g.raw(a.data.data(), a.data.size()).raw(b.data.data(), b.data.size());
  auto file = model_file_from_memory(g.bytes);
  ASSERT_TRUE(file.ok()) << file.error().message;
  for (const char* name : {"a", "b"}) {
    auto view = tensor_view(**file, name);
    ASSERT_TRUE(view.ok()) << view.error().message;
    const auto x = random_x(view->ne0(), rng);
    auto got = run(GetParam(), *view, x, view->rows());
    ASSERT_TRUE(got.ok());
    expect_same_bits(reference(*view, x, view->rows()), *got, name);
  }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, MatvecFastLevel, ::testing::ValuesIn(kIsas),
                         [](const auto& info) { return std::string(matvec_isa_name(info.param)); });

TEST(MatvecFastDispatch, LevelsNestAndTheDefaultIsTheBest) {
  EXPECT_TRUE(matvec_isa_supported(MatvecIsa::kScalar));
  if (matvec_isa_supported(MatvecIsa::kAvx512)) {
    EXPECT_TRUE(matvec_isa_supported(MatvecIsa::kAvx2));
  }
  EXPECT_TRUE(matvec_isa_supported(matvec_best_isa()));
  EXPECT_EQ(fast_matvec_available(), matvec_best_isa() != MatvecIsa::kScalar);
  for (MatvecIsa isa : kIsas) {
    if (matvec_isa_supported(isa)) continue;
    std::vector<float> y(1);
    const std::vector<float> data = {1.0f}, x = {1.0f};
    const Status st = matvec_rows_isa(isa, DenseRows{data.data(), 1}, x, y);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind, ErrorKind::InvalidInput);
  }
  std::mt19937 rng(41);
  const Matrix m = matrix(kQ6_K, 256, 9, rng);
  const auto x = random_x(256, rng);
  std::vector<float> y(9);
  ASSERT_TRUE(matvec_rows_fast(m.view(), x, y).ok());
  expect_same_bits(reference(m.view(), x, 9), y, "default level");
}

// Rows dequantized eight values at a time equal the block decoders bit for bit, scale
// specials and NaN payloads included; F16 rows also cover every half once.
TEST(DequantFast, RowsEqualTheBlockDecoders) {
  std::mt19937 rng(77);
  for (uint32_t type : kTypes) {
    const BlockFormat* fmt = block_format(type);
    for (uint64_t blocks : {1u, 3u, 9u}) {
      const uint64_t ne0 = blocks * fmt->values;
      const Matrix m = matrix(type, ne0, 5, rng, true);
      for (uint64_t r = 0; r < 5; ++r) {
        auto want = dequant_row(m.view(), r);
        ASSERT_TRUE(want.ok());
        std::vector<float> got(ne0 + 8, 777.0f);
        ASSERT_TRUE(dequant_row_fast(m.view(), r, got.data()).ok());
        for (size_t i = ne0; i < got.size(); ++i) ASSERT_EQ(got[i], 777.0f) << "wrote past the row";
        got.resize(ne0);
        expect_same_bits(*want, got, std::string(type_name(type)) + " row " + std::to_string(r));
      }
    }
  }
  std::vector<uint8_t> halves(2 * 65536);
  for (uint32_t h = 0; h < 65536; ++h) put_half(halves.data() + 2 * h, uint16_t(h));
  std::vector<float> want(65536), got(65536);
  ASSERT_TRUE(dequant_values(kF16, halves.data(), 65536, want.data()).ok());
  ASSERT_TRUE(dequant_values_fast(kF16, halves.data(), 65536, got.data()).ok());
  expect_same_bits(want, got, "every half");
  const Matrix m = matrix(kQ8_0, 32, 2, rng);
  std::vector<float> out(32);
  const Status past = dequant_row_fast(m.view(), 2, out.data());
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().message, "row 2 out of range (2)");
}

// Strided float rows (a head's slice of an attention cache) against the plain loop, for
// one to four query columns sharing the pass.
TEST(DotRowsF32, StridedRowsEqualThePlainLoop) {
  std::mt19937 rng(99);
  for (size_t n : {1, 7, 16, 33, 128, 256}) {
    for (size_t rows : {1, 5, 16, 17, 40}) {
      const size_t stride = 3 * n + 5;
      const auto keys = random_x(rows * stride, rng);
      for (size_t cols = 1; cols <= 4; ++cols) {
        std::vector<std::vector<float>> q, w(cols, std::vector<float>(rows + 4, 555.0f));
        std::vector<const float*> qp;
        std::vector<float*> wp;
        for (size_t c = 0; c < cols; ++c) {
          q.push_back(random_x(n, rng));
          qp.push_back(q[c].data());
          wp.push_back(w[c].data());
        }
        dot_rows_f32(keys.data() + n, stride, n, rows, qp, wp);
        for (size_t c = 0; c < cols; ++c) {
          std::vector<float> want(rows);
          for (size_t r = 0; r < rows; ++r) {
            float acc = 0.0f;
            for (size_t i = 0; i < n; ++i) acc = acc + keys[n + r * stride + i] * q[c][i];
            want[r] = acc;
          }
          for (size_t r = rows; r < w[c].size(); ++r) ASSERT_EQ(w[c][r], 555.0f) << "wrote past row " << rows;
          w[c].resize(rows);
          expect_same_bits(want, w[c], "n " + std::to_string(n) + " rows " + std::to_string(rows) + " column " +
                                           std::to_string(c) + " of " + std::to_string(cols));
        }
      }
    }
  }
}

}  // namespace
}  // namespace kestrune
