#include "backend/cpu/gdn.h"

#include <math.h>

#include <algorithm>
#include <utility>

#include "backend/cpu/cpu_features.h"
#include "backend/cpu/primitives.h"
#include "common/format.h"

namespace kestrune {

namespace {
// Smallest slice of per-head work (multiply-adds) worth handing to another thread.
constexpr uint64_t kMinHeadWork = uint64_t{1} << 16;
}  // namespace

namespace {

// One token's inputs to the delta rule of every head: q, k (Hk heads of d), v and out
// (Hv heads of d), per-head decay and strength.
struct StepToken {
  const float* q;
  const float* k;
  const float* v;
  const float* decay;
  const float* beta;
  float* out;
};

// The delta rule of value heads [l0, l1) for tokens [0, n) in order. Per token, two
// passes over a head's state: decay each row and add it into e, then update each row
// and add it into out. A token's second pass and the next token's first pass visit the
// rows in the same order, so they share one sweep: a row is fully updated before it is
// decayed again, and every sum still runs over the rows in order.
inline __attribute__((always_inline)) void step_tokens(float* S, const StepToken* tok, size_t n, uint64_t d,
                                                       uint64_t hk, uint64_t l0, uint64_t l1, float* e_cur,
                                                       float* e_next) {
  for (uint64_t l = l0; l < l1; ++l) {
    const uint64_t g = l % hk;  // value heads cycle over the key heads
    float* s = S + l * d * d;
    for (uint64_t b = 0; b < d; ++b) e_cur[b] = 0.0f;
    {
      const float* kg = tok[0].k + g * d;
      const float dl = tok[0].decay[l];
      for (uint64_t a = 0; a < d; ++a) {
        float* row = s + a * d;
        const float ka = kg[a];
        for (uint64_t b = 0; b < d; ++b) {
          const float r = row[b] * dl;
          row[b] = r;
          e_cur[b] = r * ka + e_cur[b];
        }
      }
    }
    for (size_t j = 0; j < n; ++j) {
      const StepToken& t = tok[j];
      const float* kg = t.k + g * d;
      const float* qg = t.q + g * d;
      const float* vl = t.v + l * d;
      float* ol = t.out + l * d;
      const float bl = t.beta[l];
      if (j + 1 < n) {
        const float* kn = tok[j + 1].k + g * d;
        const float dn = tok[j + 1].decay[l];
        for (uint64_t b = 0; b < d; ++b) e_next[b] = 0.0f;
        for (uint64_t a = 0; a < d; ++a) {
          const float kb = kg[a] * bl, qa = qg[a], ka = kn[a];
          float* row = s + a * d;
          for (uint64_t b = 0; b < d; ++b) {
            const float r = (vl[b] - e_cur[b]) * kb + row[b];
            ol[b] = r * qa + ol[b];
            const float rn = r * dn;
            row[b] = rn;
            e_next[b] = rn * ka + e_next[b];
          }
        }
        std::swap(e_cur, e_next);
      } else {
        for (uint64_t a = 0; a < d; ++a) {
          const float kb = kg[a] * bl, qa = qg[a];
          float* row = s + a * d;
          for (uint64_t b = 0; b < d; ++b) {
            const float r = (vl[b] - e_cur[b]) * kb + row[b];
            row[b] = r;
            ol[b] = r * qa + ol[b];
          }
        }
      }
    }
  }
}

using StepTokensFn = void (*)(float*, const StepToken*, size_t, uint64_t, uint64_t, uint64_t, uint64_t, float*,
                              float*);

void step_tokens_plain(float* S, const StepToken* tok, size_t n, uint64_t d, uint64_t hk, uint64_t l0, uint64_t l1,
                       float* e0, float* e1) {
  step_tokens(S, tok, n, d, hk, l0, l1, e0, e1);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Wider vectors for the element-wise row loops; no FMA is enabled, so nothing fuses.
__attribute__((target("avx2"))) void step_tokens_avx2(float* S, const StepToken* tok, size_t n, uint64_t d,
                                                      uint64_t hk, uint64_t l0, uint64_t l1, float* e0, float* e1) {
  step_tokens(S, tok, n, d, hk, l0, l1, e0, e1);
}
#endif

StepTokensFn pick_step_tokens() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu_features().avx2) return step_tokens_avx2;
#endif
  return step_tokens_plain;
}

// The delta rule of heads [l0, l1) for tokens in order; outs must start zeroed.
void gdn_step_tokens(std::span<float> S, std::span<const StepToken> tok, uint64_t d, uint64_t hk, uint64_t l0,
                     uint64_t l1) {
  static const StepTokensFn fn = pick_step_tokens();
  if (tok.empty()) return;
  std::vector<float> e(static_cast<size_t>(2 * d));
  fn(S.data(), tok.data(), tok.size(), d, hk, l0, l1, e.data(), e.data() + d);
}

}  // namespace

void gdn_step(std::span<float> S, std::span<const float> q, std::span<const float> k, std::span<const float> v,
              std::span<const float> decay, std::span<const float> beta, std::span<float> out, uint64_t d,
              uint64_t hk, uint64_t hv) {
  const StepToken tok{q.data(), k.data(), v.data(), decay.data(), beta.data(), out.data()};
  gdn_step_tokens(S, {&tok, 1}, d, hk, 0, hv);
}

namespace {

// Scales each d-wide head of v to unit RMS (epsilon 1e-6 on the mean square) times `scale`.
void l2_normalize_heads(std::span<float> v, uint64_t heads, uint64_t d, float scale) {
  for (uint64_t h = 0; h < heads; ++h) {
    float* x = v.data() + h * d;
    const float ss = dot({x, static_cast<size_t>(d)}, {x, static_cast<size_t>(d)});
    const float f = scale / sqrtf(ss / static_cast<float>(d) + 1e-6f);
    for (uint64_t j = 0; j < d; ++j) x[j] = x[j] * f;
  }
}

}  // namespace

Status gdn_conv_columns(const GdnGeometry& g, const CachedTensor& w, GdnLayerState& st, const Columns& qkv,
                        Columns& out, const std::function<void(size_t)>& after_column) {
  const uint64_t K = g.conv_kernel, C = g.channels(), qk = g.qk(), d = g.d;
  const uint64_t taps = w.dims.empty() ? 0 : w.dims[0];
  if (K < 2) return invalid_data("gdn_mixer: conv_kernel < 2 unsupported");
  if (taps < K || w.data.size() / taps < C) {
    return invalid_data(format("gdn_mixer: conv weight dims {} too small for conv_kernel {} x channels {}",
                               list_str(w.dims), K, C));
  }
  const float s = powf(static_cast<float>(d), -0.5f);
  out.assign(qkv.size(), std::vector<float>(static_cast<size_t>(C)));
  for (size_t j = 0; j < qkv.size(); ++j) {
    const std::vector<float>& r = qkv[j];
    if (r.size() != C || st.conv.size() != (K - 1) * C) {
      return invalid_data(format("gdn_mixer: qkv/conv geometry mismatch (qkv {}, conv {}, width {})", r.size(),
                                 st.conv.size(), C));
    }
    // Convolution over [history..., current]: the current input first, then oldest to newest.
    float* conv = st.conv.data();
    std::vector<float>& y = out[j];
    for (uint64_t c = 0; c < C; ++c) {
      const float* wc = w.data.data() + c * taps;
      float acc = wc[K - 1] * r[c];
      for (uint64_t tp = 0; tp + 1 < K; ++tp) acc = acc + wc[tp] * conv[tp * C + c];
      y[c] = silu(acc);
    }
    for (uint64_t row = 0; row + 2 < K; ++row) {
      std::copy(conv + (row + 1) * C, conv + (row + 2) * C, conv + row * C);
    }
    std::copy(r.begin(), r.end(), conv + (K - 2) * C);
    l2_normalize_heads({y.data(), static_cast<size_t>(qk)}, g.hk, d, s * s);
    l2_normalize_heads({y.data() + qk, static_cast<size_t>(qk)}, g.hk, d, s);
    if (after_column) after_column(j);
  }
  return {};
}

Status gdn_gate_columns(const GdnGeometry& g, const GdnWeights& w, const Columns& a_in, const Columns& b_in,
                        Columns& out) {
  if (w.a.size() < g.hv || w.dt_bias.size() < g.hv) {
    return invalid_data(format("gdn_mixer: ssm_a/ssm_dt.bias lengths {}, {} < Hv {}", w.a.size(), w.dt_bias.size(),
                               g.hv));
  }
  out.assign(a_in.size(), std::vector<float>(static_cast<size_t>(2 * g.hv)));
  for (size_t j = 0; j < a_in.size(); ++j) {
    if (a_in[j].size() < g.hv || b_in[j].size() < g.hv) {
      return invalid_data(
          format("gdn_mixer: ssm_alpha/ssm_beta rows {}, {} < Hv {}", a_in[j].size(), b_in[j].size(), g.hv));
    }
    float* decay = out[j].data();
    float* beta = decay + g.hv;
    for (uint64_t l = 0; l < g.hv; ++l) {
      const float u = a_in[j][l] + w.dt_bias[l];
      decay[l] = expf(w.a[l] * softplus(u));
      beta[l] = sigmoid(b_in[j][l]);
    }
  }
  return {};
}

// The heads split across the pool; heads never share state, so any split gives the
// same bits, and so does any split of the columns into runs.
Status gdn_scan_columns(const GdnGeometry& g, GdnLayerState& st, const Columns& qkv, const Columns& gates,
                        Columns& out, ThreadPool* pool, size_t first, size_t count) {
  const uint64_t qk = g.qk(), hv = g.hv;
  if (st.recurrent.size() != hv * g.d * g.d) return invalid_data("gdn_mixer: recurrent state geometry mismatch");
  std::vector<StepToken> tok(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t j = first + i;
    if (qkv[j].size() != g.channels() || gates[j].size() != 2 * hv || out[j].size() != g.inner()) {
      return invalid_data("gdn_mixer: scan geometry mismatch");
    }
    const float* y = qkv[j].data();
    tok[i] = {y, y + qk, y + 2 * qk, gates[j].data(), gates[j].data() + hv, out[j].data()};
  }
  const uint64_t work = std::max<uint64_t>(4 * g.d * g.d * count, 1);
  parallel_for(
      pool, static_cast<size_t>(hv),
      [&](size_t l0, size_t l1) { gdn_step_tokens(st.recurrent, tok, g.d, g.hk, l0, l1); },
      static_cast<size_t>(std::max<uint64_t>(1, kMinHeadWork / work)));
  return {};
}

Status gated_norm_columns(const GdnGeometry& g, std::span<const float> w, const Columns& scan, const Columns& z,
                          Columns& out, ThreadPool* pool) {
  const uint64_t inner = g.inner(), d = g.d;
  if (w.size() < d) return invalid_data(format("gdn_mixer: ssm_norm length {} < d {}", w.size(), d));
  for (size_t j = 0; j < z.size(); ++j) {
    if (z[j].size() != inner) return invalid_data(format("gdn_mixer: gate rows {} != inner {}", z[j].size(), inner));
  }
  out.assign(z.size(), std::vector<float>(static_cast<size_t>(inner)));
  // Columns are independent here; each one's gate is a few thousand sigmoids.
  parallel_for(
      pool, z.size(),
      [&](size_t j0, size_t j1) {
        for (size_t j = j0; j < j1; ++j) {
          for (uint64_t l = 0; l < g.hv; ++l) {
            const float* ol = scan[j].data() + l * d;
            const float* zl = z[j].data() + l * d;
            float* gl = out[j].data() + l * d;
            const float p = dot({ol, static_cast<size_t>(d)}, {ol, static_cast<size_t>(d)});
            const float inv = 1.0f / sqrtf(p / static_cast<float>(d) + g.eps);
            for (uint64_t b = 0; b < d; ++b) gl[b] = (sigmoid(zl[b]) * zl[b]) * ((ol[b] * inv) * w[b]);
          }
        }
      },
      static_cast<size_t>(std::max<uint64_t>(1, kMinHeadWork / std::max<uint64_t>(16 * inner, 1))));
  return {};
}

}  // namespace kestrune
