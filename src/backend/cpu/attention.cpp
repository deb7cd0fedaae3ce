#include "backend/cpu/attention.h"

#include <math.h>

#include <algorithm>
#include <limits>

#include "backend/cpu/cpu.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/matvec_fast.h"
#include "backend/cpu/primitives.h"
#include "common/format.h"

namespace kestrune {

void rope_rotate(std::span<float> y, uint64_t rope_dim, float base, uint32_t pos) {
  const size_t half = static_cast<size_t>(rope_dim / 2);
  const float p = static_cast<float>(pos);
  for (size_t j = 0; j < half; ++j) {
    const float angle = p / rope_frequency(j, rope_dim, base);
    float s, c;
    sincosf(angle, &s, &c);
    const float a = y[j], b = y[j + half];
    y[j] = c * a - s * b;
    y[j + half] = s * a + c * b;
  }
}

namespace {

// Smallest slice of per-head work (multiply-adds) worth handing to another thread.
constexpr uint64_t kMinHeadWork = uint64_t{1} << 16;

// rms_norm over each `hd`-wide head of `v` in place, then RoPE.
Status norm_and_rotate_heads(std::span<float> v, uint64_t heads, uint64_t hd, std::span<const float> w,
                             const AttentionGeometry& g, uint32_t pos) {
  if (w.size() < hd) return invalid_data("attn_mixer: norm geometry mismatch");
  for (uint64_t h = 0; h < heads; ++h) {
    std::span<float> head = v.subspan(static_cast<size_t>(h * hd), static_cast<size_t>(hd));
    KS_TRY(std::vector<float> n, rms_norm(head, w, g.eps, "attn_mixer"));
    std::copy(n.begin(), n.end(), head.begin());
    rope_rotate(head, g.rope_dim, g.rope_base, pos);
  }
  return {};
}

// One token's queries and gates (normed and rotated) and how many cached positions it
// attends over.
struct AttnQuery {
  std::vector<float> q, gate;
  uint64_t T = 0;
};

// Per-head norms and RoPE, then the cache append.
Status attn_prepare(const AttentionGeometry& g, const AttnWeights& t, uint32_t pos, KvCache& kv,
                    std::span<const float> qg, std::span<float> k, std::span<const float> v, AttnQuery& out) {
  const uint64_t hd = g.head_dim;
  const uint64_t kv_width = g.n_kv * hd;
  // Split the interleaved projection into queries and gates.
  out.q.assign(static_cast<size_t>(g.n_head * hd), 0.0f);
  out.gate.assign(out.q.size(), 0.0f);
  for (uint64_t h = 0; h < g.n_head; ++h) {
    const float* src = qg.data() + 2 * h * hd;
    std::copy(src, src + hd, out.q.begin() + static_cast<ptrdiff_t>(h * hd));
    std::copy(src + hd, src + 2 * hd, out.gate.begin() + static_cast<ptrdiff_t>(h * hd));
  }
  KS_CHECK(norm_and_rotate_heads(out.q, g.n_head, hd, t.q_norm, g, pos));
  KS_CHECK(norm_and_rotate_heads(k, g.n_kv, hd, t.k_norm, g, pos));

  const bool lengths_agreed = kv.k.size() == kv.v.size();
  kv.k.insert(kv.k.end(), k.begin(), k.end());
  kv.v.insert(kv.v.end(), v.begin(), v.end());
  out.T = static_cast<uint64_t>(pos) + 1;
  if (!lengths_agreed || kv.k.size() != out.T * kv_width || kv.v.size() != kv.k.size()) {
    return invalid_data("attn_mixer: kv cache length inconsistent with pos");
  }
  return {};
}

// Softmax attention of heads [h0, h0 + nh) (one kv head, nh <= 4) over cached positions
// [0, T) into o (the token's n_head*hd floats, zeroed), gated. The heads' scores share
// one pass over the keys; later positions in the cache are never read.
void attend_heads(const AttentionGeometry& g, const KvCache& kv, const AttnQuery& a, uint64_t h0, uint64_t nh,
                  float* o, std::vector<float>& w) {
  const uint64_t hd = g.head_dim, kv_width = g.n_kv * hd, T = a.T;
  const uint64_t kvh = h0 / (g.n_head / g.n_kv);
  const float scale = 1.0f / sqrtf(static_cast<float>(hd));
  w.resize(static_cast<size_t>(nh * T));
  const float* qs[4];
  float* ws[4];
  for (uint64_t i = 0; i < nh; ++i) {
    qs[i] = a.q.data() + (h0 + i) * hd;
    ws[i] = w.data() + i * T;
  }
  dot_rows_f32(kv.k.data() + kvh * hd, static_cast<size_t>(kv_width), static_cast<size_t>(hd),
               static_cast<size_t>(T), {qs, static_cast<size_t>(nh)}, {ws, static_cast<size_t>(nh)});
  for (uint64_t i = 0; i < nh; ++i) {
    const uint64_t h = h0 + i;
    float* wh = ws[i];
    float m = -std::numeric_limits<float>::infinity();
    for (uint64_t s = 0; s < T; ++s) {
      wh[s] = wh[s] * scale;
      if (wh[s] > m) m = wh[s];  // a NaN never becomes the maximum
    }
    float sum = 0.0f;
    for (uint64_t s = 0; s < T; ++s) {
      wh[s] = expf(wh[s] - m);
      sum = sum + wh[s];
    }
    for (uint64_t s = 0; s < T; ++s) wh[s] = wh[s] / sum;
    float* oh = o + h * hd;
    for (uint64_t s = 0; s < T; ++s) {
      const float* vs = kv.v.data() + s * kv_width + kvh * hd;
      for (uint64_t j = 0; j < hd; ++j) oh[j] = vs[j] * wh[s] + oh[j];
    }
    const float* gh = a.gate.data() + h * hd;
    for (uint64_t j = 0; j < hd; ++j) oh[j] = sigmoid(gh[j]) * oh[j];
  }
}

}  // namespace

Status attend_columns(const AttentionGeometry& g, const AttnWeights& t, uint32_t pos, KvCache& kv,
                      const Columns& qg, Columns& k, const Columns& v, Columns& o, ThreadPool* pool) {
  if (g.n_kv == 0 || g.n_head % g.n_kv != 0) return invalid_data("attn_mixer: n_head % n_kv != 0");
  if (g.rope_dim % 2 != 0 || g.rope_dim > g.head_dim) return invalid_data("attn_mixer: bad rope_dim");
  const size_t n = qg.size();
  std::vector<AttnQuery> qs(n);
  for (size_t j = 0; j < n; ++j) {
    KS_CHECK(attn_prepare(g, t, pos + static_cast<uint32_t>(j), kv, qg[j], k[j], v[j], qs[j]));
  }
  const uint64_t hd = g.head_dim;
  for (auto& oj : o) std::fill(oj.begin(), oj.end(), 0.0f);
  // Heads of one kv head go together, up to four: their scores share the key reads.
  const uint64_t group = g.n_head / g.n_kv;
  if (group == 0) return {};
  const uint64_t per_set = std::min<uint64_t>(group, 4);
  const uint64_t sets_per_kv = (group + per_set - 1) / per_set;
  const uint64_t sets = g.n_kv * sets_per_kv;
  // Item set * n + j: contiguous ranges take whole head sets, which balances the lengths.
  auto items = [&](size_t i0, size_t i1) {
    std::vector<float> w;
    for (size_t i = i0; i < i1; ++i) {
      const uint64_t set = i / n, kvh = set / sets_per_kv, first = (set % sets_per_kv) * per_set;
      const size_t j = i % n;
      attend_heads(g, kv, qs[j], kvh * group + first, std::min(per_set, group - first), o[j].data(), w);
    }
  };
  const uint64_t per_item = std::max<uint64_t>(1, 2 * per_set * (static_cast<uint64_t>(pos) + n) * hd);
  parallel_for(pool, static_cast<size_t>(sets) * n, items,
               static_cast<size_t>(std::max<uint64_t>(1, kMinHeadWork / per_item)));
  return {};
}

}  // namespace kestrune
