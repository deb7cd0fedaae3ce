// Batched prefill and threaded products against the token-at-a-time reference, bit for
// bit: the multi-column product, the split product, and whole generated models.
#include <gtest/gtest.h>

#include <cmath>

#include <math.h>

#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/matvec_fast.h"
#include "common/runtime_options.h"
#include "backend/cpu/spec_window.h"
#include "backend/cpu/thread_pool.h"
#include "layer_fixture.h"
#include "layer_ops.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/gdn.h"
#include "model/forward.h"
#include "model/model.h"
#include "model/prefill.h"
#include "model_fixture.h"
#include "quant/types.h"

namespace kestrune {
namespace {

using testing::generated_model;
using testing::ScopedEnv;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

::testing::AssertionResult same_bits(const std::vector<float>& want, const std::vector<float>& got) {
  if (want.size() != got.size()) {
    return ::testing::AssertionFailure() << "length " << got.size() << ", want " << want.size();
  }
  for (size_t i = 0; i < want.size(); ++i) {
    if (bits(want[i]) != bits(got[i])) {
      return ::testing::AssertionFailure() << "element " << i << ": " << got[i] << ", want " << want[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// ---- products ----

float random_float(std::mt19937& rng) {
  std::uniform_real_distribution<float> d(-2.0f, 2.0f);
  return d(rng);
}

// A half with a modest magnitude, for block scales and f16 values.
uint16_t modest_half(std::mt19937& rng) { return uint16_t((rng() & 0x8000) | ((9 + rng() % 8) << 10) | (rng() & 0x3ff)); }

void put_half(uint8_t* p, uint16_t h) {
  p[0] = uint8_t(h);
  p[1] = uint8_t(h >> 8);
}

// A stored tensor held in memory.
struct Stored {
  TensorInfo info;
  std::vector<uint8_t> data;
  TensorView view() const { return TensorView{&info, data.data(), data.size()}; }
};

Stored stored(uint32_t type, uint64_t ne0, uint64_t rows, std::mt19937& rng) {
  const BlockFormat* fmt = block_format(type);
  Stored s;
  s.info = TensorInfo{"w", {ne0, rows}, type, 0};
  const uint64_t blocks = ne0 / fmt->values * rows;
  s.data.resize(blocks * fmt->bytes);
  for (auto& b : s.data) b = uint8_t(rng());
  for (uint64_t k = 0; k < blocks; ++k) {
    uint8_t* blk = s.data.data() + k * fmt->bytes;
    switch (type) {
      case kF32: {
        const float v = random_float(rng);
        std::memcpy(blk, &v, 4);
        break;
      }
      case kF16:
      case kQ8_0:
        put_half(blk, modest_half(rng));
        break;
      case kQ4_K:
        put_half(blk, modest_half(rng));
        put_half(blk + 2, modest_half(rng));
        break;
      case kQ6_K:
        put_half(blk + 208, modest_half(rng));
        break;
    }
  }
  return s;
}

std::vector<float> random_vec(size_t n, std::mt19937& rng) {
  std::vector<float> v(n);
  for (auto& x : v) x = random_float(rng);
  return v;
}

// Each column through the single-column reference kernel.
Columns per_column(const RowSource& rows, const Columns& xs, size_t n_rows) {
  Columns ys(xs.size(), std::vector<float>(n_rows));
  for (size_t c = 0; c < xs.size(); ++c) EXPECT_TRUE(matvec_rows(rows, xs[c], ys[c]).ok());
  return ys;
}

struct ProductCase {
  const char* what;
  uint32_t type;  // kF32 with dense = true: a dense block read in place
  bool dense;
  uint64_t ne0;
  uint64_t rows;
};

const ProductCase kProducts[] = {
    {"dense ne0 1", kF32, true, 1, 9},          {"dense ne0 7", kF32, true, 7, 33},
    {"dense ne0 300", kF32, true, 300, 70},     {"dense wide", kF32, true, 1024, 300},
    {"f32 rows", kF32, false, 40, 17},          {"f16 rows", kF16, false, 96, 21},
    {"q8_0 rows", kQ8_0, false, 128, 37},       {"q8_0 wide", kQ8_0, false, 512, 260},
    {"q4_K rows", kQ4_K, false, 256, 19},       {"q6_K rows", kQ6_K, false, 512, 11},
};

TEST(MatvecRowsMulti, EqualsEachColumnAlone) {
  std::mt19937 rng(5);
  std::vector<std::unique_ptr<ThreadPool>> pools;
  pools.push_back(nullptr);
  pools.push_back(make_thread_pool(2));
  pools.push_back(make_thread_pool(3));
  for (const auto& pc : kProducts) {
    const Stored s = stored(pc.type, pc.ne0, pc.rows, rng);
    const std::vector<float> dense = random_vec(pc.ne0 * pc.rows, rng);
    const RowSource rows = pc.dense ? RowSource{DenseRows{dense.data(), pc.ne0}} : RowSource{s.view()};
    // x as long as a row, shorter (the row is cut) and longer (x is cut).
    for (int64_t dx : {0, -1, 5}) {
      const size_t len = static_cast<size_t>(static_cast<int64_t>(pc.ne0) + dx);
      for (size_t cols : {1, 2, 3, 15, 16, 17, 40}) {
        Columns xs;
        for (size_t c = 0; c < cols; ++c) xs.push_back(random_vec(len, rng));
        const Columns want = per_column(rows, xs, pc.rows);
        for (const auto& pool : pools) {
          Columns ys(cols, std::vector<float>(pc.rows, -7.0f));
          ASSERT_TRUE(matvec_rows_multi(rows, column_spans(xs), column_spans_mut(ys), pool.get()).ok());
          for (size_t c = 0; c < cols; ++c) {
            EXPECT_TRUE(same_bits(want[c], ys[c])) << pc.what << " len " << len << " cols " << cols << " threads "
                                                    << pool_threads(pool.get()) << " column " << c;
          }
        }
      }
    }
  }
}

TEST(MatvecRowsMulti, ColumnsOfDifferentLengths) {
  std::mt19937 rng(9);
  const Stored s = stored(kQ8_0, 64, 23, rng);
  Columns xs = {random_vec(64, rng), random_vec(10, rng), random_vec(64, rng), random_vec(70, rng)};
  const Columns want = per_column(s.view(), xs, 23);
  Columns ys(xs.size(), std::vector<float>(23));
  auto pool = make_thread_pool(2);
  ASSERT_TRUE(matvec_rows_multi(s.view(), column_spans(xs), column_spans_mut(ys), pool.get()).ok());
  for (size_t c = 0; c < xs.size(); ++c) EXPECT_TRUE(same_bits(want[c], ys[c])) << "column " << c;
}

TEST(MatvecRowsMulti, RowFailuresMatchTheReference) {
  std::mt19937 rng(3);
  const Stored s = stored(kQ8_0, 64, 4, rng);
  Stored bad_type = s;
  bad_type.info.type = 99;
  const struct {
    const char* what;
    TensorView view;
    size_t rows;
  } cases[] = {
      {"rows past the tensor", s.view(), 6},
      {"unknown type", bad_type.view(), 4},
  };
  auto pool = make_thread_pool(2);
  for (const auto& c : cases) {
    const Columns xs = {random_vec(64, rng), random_vec(64, rng), random_vec(64, rng)};
    std::vector<float> y(c.rows);
    const Status want = matvec_rows(c.view, xs[0], y);
    ASSERT_FALSE(want.ok()) << c.what;
    for (ThreadPool* p : {static_cast<ThreadPool*>(nullptr), pool.get()}) {
      Columns ys(xs.size(), std::vector<float>(c.rows));
      const Status got = matvec_rows_multi(c.view, column_spans(xs), column_spans_mut(ys), p);
      ASSERT_FALSE(got.ok()) << c.what;
      EXPECT_EQ(got.error().message, want.error().message) << c.what;
      std::vector<float> y1(c.rows);
      const Status split = matvec_rows(c.view, xs[0], y1, p);
      ASSERT_FALSE(split.ok()) << c.what;
      EXPECT_EQ(split.error().message, want.error().message) << c.what;
    }
  }
}

TEST(MatvecRowsMulti, RefusesMismatchedColumnCounts) {
  std::vector<float> w(8, 1.0f), x(4, 1.0f), y0(2), y1(2), y2(3);
  const std::vector<std::span<const float>> xs = {x, x};
  const std::vector<std::span<float>> one = {y0};
  const std::vector<std::span<float>> ragged = {y0, y2};
  EXPECT_FALSE(matvec_rows_multi(DenseRows{w.data(), 4}, xs, one).ok());
  EXPECT_FALSE(matvec_rows_multi(DenseRows{w.data(), 4}, xs, ragged).ok());
  const std::vector<std::span<float>> fine = {y0, y1};
  ASSERT_TRUE(matvec_rows_multi(DenseRows{w.data(), 4}, xs, fine).ok());
  EXPECT_EQ(y0[1], 4.0f);
}

TEST(MatvecSplit, MatchesTheSingleThreadProduct) {
  std::mt19937 rng(11);
  auto pool = make_thread_pool(3);
  CachedTensor dense;
  dense.dims = {512, 300};
  dense.data = random_vec(512 * 300 + 100, rng);  // and a trailing partial row
  CachedTensor no_rows;
  no_rows.dims = {0};
  const Stored q = stored(kQ8_0, 512, 300, rng);
  const Stored q4 = stored(kQ4_K, 256, 700, rng);
  const struct {
    const char* what;
    Matrix m;
    size_t x_len;
  } cases[] = {
      {"dense", Matrix{&dense}, 512},          {"dense short x", Matrix{&dense}, 100},
      {"dense long x", Matrix{&dense}, 600},   {"dense ne0 0", Matrix{&no_rows}, 4},
      {"q8_0", Matrix{q.view()}, 512},         {"q8_0 wrong x", Matrix{q.view()}, 511},
      {"q4_K", Matrix{q4.view()}, 256},
  };
  for (const auto& c : cases) {
    const std::vector<float> x = random_vec(c.x_len, rng);
    auto want = matvec(c.m, x);
    auto got = matvec(c.m, x, pool.get());
    ASSERT_EQ(got.ok(), want.ok()) << c.what;
    if (!want.ok()) {
      EXPECT_EQ(got.error().message, want.error().message) << c.what;
    } else {
      EXPECT_TRUE(same_bits(*want, *got)) << c.what;
    }
    // And as columns: each column equal to its own product, errors included.
    for (size_t cols : {1, 4}) {
      Columns xs(cols, x);
      for (size_t k = 1; k < cols; ++k) xs[k] = random_vec(c.x_len, rng);
      auto ys = matvec_cols(c.m, xs, pool.get());
      ASSERT_EQ(ys.ok(), want.ok()) << c.what;
      if (!want.ok()) {
        EXPECT_EQ(ys.error().message, want.error().message) << c.what;
        continue;
      }
      ASSERT_EQ(ys->size(), cols);
      for (size_t k = 0; k < cols; ++k) EXPECT_TRUE(same_bits(*matvec(c.m, xs[k]), (*ys)[k])) << c.what << " " << k;
    }
  }
}

// ---- layers: the split and reordered per-token parts against plain loops ----

using testing::dense;
using testing::pseudo_random;
using testing::vec;

// One attention step written straight from the definition: every score a plain dot,
// heads and positions one after another.
std::vector<float> reference_attention(const AttentionGeometry& g, const AttnWeights& t, uint32_t pos, KvCache& kv,
                                       const std::vector<float>& x) {
  const uint64_t hd = g.head_dim, kvw = g.n_kv * hd;
  auto xn = *rms_norm(x, t.norm, g.eps);
  auto qg = *matvec(t.q, xn);
  auto k = *matvec(t.k, xn);
  auto v = *matvec(t.v, xn);
  std::vector<float> q(g.n_head * hd), gate(g.n_head * hd);
  for (uint64_t h = 0; h < g.n_head; ++h) {
    for (uint64_t j = 0; j < hd; ++j) {
      q[h * hd + j] = qg[2 * h * hd + j];
      gate[h * hd + j] = qg[2 * h * hd + hd + j];
    }
  }
  auto norm_rope = [&](std::vector<float>& m, uint64_t heads, std::span<const float> w) {
    for (uint64_t h = 0; h < heads; ++h) {
      std::span<float> head(m.data() + h * hd, hd);
      auto n = *rms_norm(head, w, g.eps);
      std::copy(n.begin(), n.end(), head.begin());
      rope_rotate(head, g.rope_dim, g.rope_base, pos);
    }
  };
  norm_rope(q, g.n_head, t.q_norm);
  norm_rope(k, g.n_kv, t.k_norm);
  kv.k.insert(kv.k.end(), k.begin(), k.end());
  kv.v.insert(kv.v.end(), v.begin(), v.end());
  const uint64_t T = pos + 1;
  std::vector<float> o(g.n_head * hd, 0.0f);
  for (uint64_t h = 0; h < g.n_head; ++h) {
    const uint64_t kh = h / (g.n_head / g.n_kv);
    std::vector<float> w(T);
    float m = -std::numeric_limits<float>::infinity();
    for (uint64_t s = 0; s < T; ++s) {
      float acc = 0.0f;
      for (uint64_t j = 0; j < hd; ++j) acc = acc + q[h * hd + j] * kv.k[s * kvw + kh * hd + j];
      w[s] = acc * (1.0f / sqrtf(static_cast<float>(hd)));
      if (w[s] > m) m = w[s];
    }
    float sum = 0.0f;
    for (uint64_t s = 0; s < T; ++s) {
      w[s] = expf(w[s] - m);
      sum = sum + w[s];
    }
    for (uint64_t s = 0; s < T; ++s) w[s] = w[s] / sum;
    for (uint64_t s = 0; s < T; ++s) {
      for (uint64_t j = 0; j < hd; ++j) o[h * hd + j] = kv.v[s * kvw + kh * hd + j] * w[s] + o[h * hd + j];
    }
    for (uint64_t j = 0; j < hd; ++j) o[h * hd + j] = sigmoid(gate[h * hd + j]) * o[h * hd + j];
  }
  return *matvec(t.out, o);
}

TEST(AttentionSplit, LongCachesMatchPlainLoops) {
  // Heads wide and caches long enough that the heads get split across threads.
  constexpr uint64_t kHidden = 32, kHeads = 8, kKv = 2, kHd = 256;
  const AttentionGeometry g{kHd, kHeads, kKv, 8, 10000.0f, 1e-6f};
  const CachedTensor norm = vec(kHidden, 1), qn = vec(kHd, 5), kn = vec(kHd, 6);
  const CachedTensor q = dense(kHidden, 2 * kHeads * kHd, 2), k = dense(kHidden, kKv * kHd, 3);
  const CachedTensor v = dense(kHidden, kKv * kHd, 4), out = dense(kHeads * kHd, kHidden, 7);
  for (size_t threads : {1, 3}) {
    const Backend b{make_cpu(threads)};
    AttnWeights t{norm.data, Matrix{&q}, Matrix{&k}, Matrix{&v}, qn.data, kn.data, Matrix{&out}};
    KvCache kv, ref;
    // Past 8 and 16 positions the scores run eight positions at a time.
    for (uint32_t pos = 0; pos < 70; ++pos) {
      const auto x = pseudo_random(kHidden, 100 + pos, 2.0f);
      const auto want = reference_attention(g, t, pos, ref, x);
      auto got = testing::attn_output(g, t, pos, kv, x, b);
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_TRUE(same_bits(want, *got)) << "pos " << pos << " threads " << threads;
      EXPECT_TRUE(same_bits(ref.k, kv.k)) << "pos " << pos;
    }
  }
}

// The delta rule in four separate passes, as defined.
void reference_gdn_step(std::vector<float>& S, const std::vector<float>& q, const std::vector<float>& k,
                        const std::vector<float>& v, const std::vector<float>& decay, const std::vector<float>& beta,
                        std::vector<float>& out, uint64_t d, uint64_t hk, uint64_t hv) {
  for (uint64_t l = 0; l < hv; ++l) {
    const uint64_t g = l % hk;
    float* s = S.data() + l * d * d;
    for (uint64_t i = 0; i < d * d; ++i) s[i] = s[i] * decay[l];
    std::vector<float> e(d, 0.0f);
    for (uint64_t a = 0; a < d; ++a) {
      for (uint64_t b = 0; b < d; ++b) e[b] = s[a * d + b] * k[g * d + a] + e[b];
    }
    for (uint64_t a = 0; a < d; ++a) {
      const float kb = k[g * d + a] * beta[l];
      for (uint64_t b = 0; b < d; ++b) s[a * d + b] = (v[l * d + b] - e[b]) * kb + s[a * d + b];
    }
    for (uint64_t a = 0; a < d; ++a) {
      for (uint64_t b = 0; b < d; ++b) out[l * d + b] = s[a * d + b] * q[g * d + a] + out[l * d + b];
    }
  }
}

TEST(GdnSplit, FusedPassesMatchTheDefinition) {
  const struct {
    uint64_t d, hk, hv;
  } cases[] = {{4, 1, 1}, {8, 2, 4}, {16, 2, 6}, {5, 3, 3}};
  for (const auto& c : cases) {
    auto S = pseudo_random(c.hv * c.d * c.d, 1, 1.5f);
    auto S_ref = S;
    for (int step = 0; step < 3; ++step) {
      const auto q = pseudo_random(c.hk * c.d, 10 + step), k = pseudo_random(c.hk * c.d, 20 + step);
      const auto v = pseudo_random(c.hv * c.d, 30 + step);
      auto decay = pseudo_random(c.hv, 40 + step, 0.4f), beta = pseudo_random(c.hv, 50 + step, 0.4f);
      for (auto& x : decay) x += 0.5f;
      for (auto& x : beta) x += 0.5f;
      std::vector<float> out(c.hv * c.d, 0.0f), out_ref(c.hv * c.d, 0.0f);
      gdn_step(S, q, k, v, decay, beta, out, c.d, c.hk, c.hv);
      reference_gdn_step(S_ref, q, k, v, decay, beta, out_ref, c.d, c.hk, c.hv);
      EXPECT_TRUE(same_bits(S_ref, S)) << "d " << c.d << " step " << step;
      EXPECT_TRUE(same_bits(out_ref, out)) << "d " << c.d << " step " << step;
    }
  }
}

// ---- whole models ----

std::unique_ptr<Model> load(const std::string& path, const char* weights, const char* threads,
                            std::initializer_list<std::pair<const char*, const char*>> extra = {}) {
  ScopedEnv clean{KESTRUNE_CLEAN_ENV};
  ScopedEnv env{{"KESTRUNE_WEIGHTS", weights}, {"KESTRUNE_THREADS", threads}};
  ScopedEnv more{extra};
  ::testing::internal::CaptureStderr();
  auto m = load_model(path);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(m.ok()) << m.error().message;
  return m.ok() ? std::move(m).value() : nullptr;
}

std::vector<uint32_t> prompt(size_t n, uint64_t vocab, uint32_t salt = 0) {
  std::vector<uint32_t> t(n);
  for (size_t i = 0; i < n; ++i) t[i] = static_cast<uint32_t>((i * 37 + 11 + salt * 101) % vocab);
  return t;
}

void expect_same_state(const DecodeState& want, const DecodeState& got, const std::string& what) {
  EXPECT_EQ(got.position, want.position) << what;
  EXPECT_TRUE(same_bits(want.hidden, got.hidden)) << what << " hidden";
  ASSERT_EQ(got.layers.size(), want.layers.size()) << what;
  for (size_t i = 0; i < want.layers.size(); ++i) {
    const auto& a = want.layers[i].data;
    const auto& b = got.layers[i].data;
    ASSERT_EQ(a.index(), b.index()) << what << " layer " << i;
    if (const auto* kv = std::get_if<KvCache>(&a)) {
      EXPECT_TRUE(same_bits(kv->k, std::get<KvCache>(b).k)) << what << " layer " << i << " keys";
      EXPECT_TRUE(same_bits(kv->v, std::get<KvCache>(b).v)) << what << " layer " << i << " values";
    } else {
      const auto& ga = std::get<GdnLayerState>(a);
      const auto& gb = std::get<GdnLayerState>(b);
      EXPECT_TRUE(same_bits(ga.conv, gb.conv)) << what << " layer " << i << " conv";
      EXPECT_TRUE(same_bits(ga.recurrent, gb.recurrent)) << what << " layer " << i << " recurrent";
    }
  }
}

uint32_t argmax(const std::vector<float>& l) {
  size_t best = 0;
  for (size_t i = 1; i < l.size(); ++i) {
    if (l[i] > l[best]) best = i;
  }
  return static_cast<uint32_t>(best);
}

// A run: the prompt's last logits, the state after it, then greedy continuation.
struct Outcome {
  std::vector<float> logits;
  DecodeState state;
  std::vector<uint32_t> continued;
  std::vector<std::vector<float>> continued_logits;
};

constexpr size_t kContinue = 3;

void continue_greedy(const Model& m, Outcome& r) {
  DecodeState st = r.state;
  std::vector<float> l = r.logits;
  for (size_t k = 0; k < kContinue; ++k) {
    const uint32_t t = argmax(l);
    r.continued.push_back(t);
    auto next = forward(m, st, t);
    ASSERT_TRUE(next.ok()) << next.error().message;
    l = std::move(next).value();
    r.continued_logits.push_back(l);
  }
}

// `head` tokens one at a time, then the rest through prefill with `chunk` (0: per token).
Outcome run_prompt(const Model& m, const std::vector<uint32_t>& tokens, size_t head, size_t chunk) {
  Outcome r;
  r.state = new_state(m);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i >= head && chunk > 0) {
      auto l = prefill(m, r.state, std::span<const uint32_t>(tokens).subspan(i), chunk);
      EXPECT_TRUE(l.ok()) << l.error().message;
      if (l.ok()) r.logits = std::move(l).value();
      break;
    }
    auto l = forward(m, r.state, tokens[i]);
    EXPECT_TRUE(l.ok()) << l.error().message;
    if (!l.ok()) break;
    r.logits = std::move(l).value();
  }
  continue_greedy(m, r);
  return r;
}

void expect_same_run(const Outcome& want, const Outcome& got, const std::string& what) {
  EXPECT_TRUE(same_bits(want.logits, got.logits)) << what << " logits";
  expect_same_state(want.state, got.state, what);
  EXPECT_EQ(got.continued, want.continued) << what << " continued tokens";
  ASSERT_EQ(got.continued_logits.size(), want.continued_logits.size()) << what;
  for (size_t k = 0; k < want.continued_logits.size(); ++k) {
    EXPECT_TRUE(same_bits(want.continued_logits[k], got.continued_logits[k])) << what << " continued step " << k;
  }
}

struct ModelCase {
  const char* args;
  std::vector<size_t> lengths;
};

class PrefillModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(PrefillModel, BitIdenticalToTokenAtATime) {
  const ModelCase mc = GetParam();
  auto path = generated_model(mc.args);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  // The reference run keeps the plain rows (no packed copies); the products stay on
  // the kernels the process chose at its first product.
  for (const char* weights : {"eager", "lazy"}) {
    auto ref = load(*path, weights, "1", {{"KESTRUNE_REFERENCE", "1"}});
    ASSERT_TRUE(ref && ref->weights.packed.empty());
    for (size_t len : mc.lengths) {
      const auto tokens = prompt(len, ref->weights.head_rows);
      const Outcome want = run_prompt(*ref, tokens, 0, 0);
      for (const char* threads : {"1", "2", "3"}) {
        auto m = load(*path, weights, threads);
        ASSERT_TRUE(m);
        // Streamed quantized weights read packed copies wherever the CPU has the kernels.
        const bool quantized = std::string(mc.args).find("--types f32") == std::string::npos;
        if (std::string(weights) == "lazy" && quantized && !reference_forced()) {
          EXPECT_EQ(m->weights.packed.empty(), !fast_matvec_available());
        }
        const std::string base = std::string(weights) + " threads " + threads + " len " + std::to_string(len);
        expect_same_run(want, run_prompt(*m, tokens, 0, 0), base + " per token");
        for (size_t chunk : {size_t{1}, size_t{3}, size_t{16}, kPrefillChunk}) {
          expect_same_run(want, run_prompt(*m, tokens, 0, chunk), base + " chunk " + std::to_string(chunk));
        }
        // Prefill picking up a sequence already under way.
        if (len > 4) expect_same_run(want, run_prompt(*m, tokens, 3, 5), base + " after 3 tokens, chunk 5");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Generated, PrefillModel,
    ::testing::Values(ModelCase{"--preset tiny --seed 1 --types q8_0", {1, 16, 37, 70}},
                      ModelCase{"--preset tiny --seed 2 --types q4k-mix --untied", {2, 37}},
                      ModelCase{"--preset tiny --seed 4 --types f32 --heads 4 --kv-heads 2 --conv-kernel 2", {21}},
                      ModelCase{"--preset small --seed 3 --types q8_0", {1, 35}},
                      ModelCase{"--preset small --seed 5 --types q4k-mix", {19}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

const char* kTiny = "--preset tiny --seed 1 --types q8_0";

TEST(Prefill, EmptyPromptLeavesTheStateAlone) {
  auto path = generated_model(kTiny);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  auto m = load(*path, "lazy", "2");
  ASSERT_TRUE(m);
  DecodeState st = new_state(*m);
  auto l = prefill(*m, st, {});
  ASSERT_TRUE(l.ok()) << l.error().message;
  EXPECT_TRUE(l->empty());
  expect_same_state(new_state(*m), st, "empty");
}

// Scores are the log-softmax of the logits forward returns at each position, whatever
// the chunking, with the trace forcing the per-token route too.
TEST(Prefill, ScoresAreLogSoftmaxOfForwardLogits) {
  auto path = generated_model(kTiny);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  for (auto extra : {std::pair<const char*, const char*>{"KESTRUNE_TRACE", nullptr}, {"KESTRUNE_TRACE", "1"}}) {
    auto m = load(*path, "lazy", "2", {extra});
    ASSERT_TRUE(m);
    const auto tokens = prompt(9, m->weights.head_rows);
    ::testing::internal::CaptureStderr();
    std::vector<double> want;
    DecodeState ref = new_state(*m);
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
      auto l = forward(*m, ref, tokens[i]);
      ASSERT_TRUE(l.ok());
      double top = (*l)[0], sum = 0;
      for (float v : *l) top = std::max<double>(top, v);
      for (float v : *l) sum += std::exp(double(v) - top);
      want.push_back(double((*l)[tokens[i + 1]]) - top - std::log(sum));
    }
    for (size_t chunk : {1, 4, 64}) {
      DecodeState st = new_state(*m);
      auto got = score_tokens(*m, st, tokens, chunk);
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_EQ(*got, want) << "chunk " << chunk;
      EXPECT_EQ(st.position, tokens.size());
    }
    ::testing::internal::GetCapturedStderr();
  }
}

// With a per-token diagnostic on, prefill is the per-token loop: same lines, same bits.
TEST(Prefill, DiagnosticsFallBackToTokenAtATime) {
  auto path = generated_model(kTiny);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  const struct {
    const char* what;
    const char* var;
    const char* value;
  } cases[] = {
      {"trace", "KESTRUNE_TRACE", "1"},
      {"lens", "KESTRUNE_LENS", "3,7"},
      {"alpha", "KESTRUNE_MTP_ALPHA", "1"},
  };
  const auto tokens = prompt(9, 400);
  for (const auto& c : cases) {
    auto m = load(*path, "lazy", "2", {{c.var, c.value}});
    ASSERT_TRUE(m);
    DecodeState a = new_state(*m), b = new_state(*m);
    std::vector<float> want;
    ::testing::internal::CaptureStderr();
    for (uint32_t t : tokens) want = *forward(*m, a, t);
    const std::string want_err = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    auto got = prefill(*m, b, tokens);
    const std::string got_err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(got.ok()) << c.what << ": " << got.error().message;
    EXPECT_EQ(got_err, want_err) << c.what;
    if (std::string(c.what) != "alpha") {
      EXPECT_FALSE(got_err.empty()) << c.what;
    }
    EXPECT_TRUE(same_bits(want, *got)) << c.what;
    expect_same_state(a, b, c.what);
  }
}

// The error the per-token loop meets first, whichever chunk the bad token falls in.
TEST(Prefill, ErrorsMatchTheTokenLoop) {
  auto path = generated_model(kTiny);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  auto other_path = generated_model("--preset tiny --seed 1 --types q8_0 --interval 2");
  for (const char* weights : {"eager", "lazy"}) {
    auto m = load(*path, weights, "2");
    ASSERT_TRUE(m);
    const uint32_t vocab = static_cast<uint32_t>(m->weights.head_rows);
    for (size_t bad_at : {size_t{0}, size_t{2}, size_t{5}, size_t{16}, size_t{19}}) {
      auto tokens = prompt(20, vocab);
      tokens[bad_at] = vocab + 5;
      DecodeState a = new_state(*m);
      std::string want;
      for (uint32_t t : tokens) {
        auto l = forward(*m, a, t);
        if (!l.ok()) {
          want = l.error().message;
          break;
        }
      }
      ASSERT_FALSE(want.empty());
      for (size_t chunk : {size_t{1}, size_t{4}, size_t{16}}) {
        DecodeState b = new_state(*m);
        auto got = prefill(*m, b, tokens, chunk);
        ASSERT_FALSE(got.ok()) << weights << " bad at " << bad_at << " chunk " << chunk;
        EXPECT_EQ(got.error().message, want) << weights << " bad at " << bad_at << " chunk " << chunk;
      }
    }
    // A state made for a model with another layer schedule.
    if (other_path) {
      auto other = load(*other_path, weights, "1");
      ASSERT_TRUE(other);
      DecodeState a = new_state(*other), b = new_state(*other);
      auto want = forward(*m, a, 1);
      ASSERT_FALSE(want.ok());
      const std::vector<uint32_t> tokens = {1, 2, 3};
      auto got = prefill(*m, b, tokens);
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().message, want.error().message);
    }
  }
}

// Under an open speculative window a single column records the state it starts from,
// and a chunk of columns (as a verify pass) the state after each column but its last:
// the same states, minus the one before each chunk's first token.
TEST(Prefill, ArmedWindowSnapshotsFollowTheColumnRule) {
  auto path = generated_model(kTiny);
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  auto m = load(*path, "lazy", "2");
  ASSERT_TRUE(m);
  CpuSpecState& window = *std::get<Cpu>(m->backend).window;
  const auto tokens = prompt(11, m->weights.head_rows);
  // Snapshots per layer index, taken while feeding a fresh state one way or the other.
  auto snapshots = [&](bool batched) {
    DecodeState st = new_state(*m);
    EXPECT_TRUE(spec_arm(m->backend).ok());
    if (batched) {
      EXPECT_TRUE(prefill(*m, st, tokens, 4).ok());
    } else {
      for (uint32_t t : tokens) EXPECT_TRUE(forward(*m, st, t).ok());
    }
    std::vector<std::vector<GdnSnapshot>> out;
    std::lock_guard<std::mutex> lock(window.mu);
    for (const auto& ls : st.layers) {
      auto it = window.snapshots.find(ls.nonce);
      out.push_back(it == window.snapshots.end() ? std::vector<GdnSnapshot>() : it->second);
    }
    window.snapshots.clear();
    window.armed = false;
    return out;
  };
  const auto per_token = snapshots(false);
  const auto got = snapshots(true);
  ASSERT_EQ(got.size(), per_token.size());
  size_t total = 0;
  for (size_t i = 0; i < per_token.size(); ++i) {
    total += per_token[i].size();
    std::vector<GdnSnapshot> want;
    for (size_t k = 0; k < per_token[i].size(); ++k) {
      if (k % 4 != 0) want.push_back(per_token[i][k]);  // chunks of 4 start at 0, 4, 8
    }
    ASSERT_EQ(got[i].size(), want.size()) << "layer " << i;
    for (size_t k = 0; k < want.size(); ++k) {
      EXPECT_TRUE(same_bits(want[k].conv, got[i][k].conv)) << "layer " << i << " snapshot " << k;
      EXPECT_TRUE(same_bits(want[k].recurrent, got[i][k].recurrent)) << "layer " << i << " snapshot " << k;
    }
  }
  EXPECT_EQ(total, 3 * tokens.size());  // three GDN layers, one snapshot per token each
}

// Several host threads on one model with helper threads: each sequence as if alone.
TEST(Prefill, ConcurrentSequencesOnOneModel) {
  auto path = generated_model("--preset small --seed 3 --types q8_0");
  if (!path) GTEST_SKIP() << "python3 with numpy is unavailable";
  for (const char* weights : {"lazy", "eager"}) {
    auto m = load(*path, weights, "2");
    ASSERT_TRUE(m);
    constexpr size_t kSequences = 3;
    std::vector<std::vector<uint32_t>> prompts;
    for (size_t s = 0; s < kSequences; ++s) prompts.push_back(prompt(23 + 4 * s, m->weights.head_rows, uint32_t(s)));
    // Sequence 1 runs token at a time, the others through prefill.
    auto one = [&](size_t s) { return run_prompt(*m, prompts[s], 0, s == 1 ? 0 : 8); };
    std::vector<Outcome> alone;
    for (size_t s = 0; s < kSequences; ++s) alone.push_back(one(s));
    std::vector<Outcome> together(kSequences);
    std::vector<std::thread> threads;
    for (size_t s = 0; s < kSequences; ++s) threads.emplace_back([&, s] { together[s] = one(s); });
    for (auto& t : threads) t.join();
    for (size_t s = 0; s < kSequences; ++s) {
      expect_same_run(alone[s], together[s], std::string(weights) + " sequence " + std::to_string(s));
    }
  }
}

}  // namespace
}  // namespace kestrune
