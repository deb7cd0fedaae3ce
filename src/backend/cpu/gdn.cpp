#include "backend/cpu/gdn.h"

#include <math.h>

#include <algorithm>
#include <utility>

#include "backend/cpu/cpu.h"
#include "backend/cpu/cpu_features.h"
#include "backend/cpu/matmul.h"
#include "backend/cpu/primitives.h"
#include "backend/cpu/spec_window.h"
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

// One token's inputs to the delta rule: q, k, v (normalised) and per-head decay and
// strength, after the causal convolution has advanced the layer's conv history.
struct TokenInputs {
  std::vector<float> y;  // q | k | v
  std::vector<float> decay, beta;
};

TokenInputs gdn_prepare(const GdnGeometry& g, const GdnWeights& t, GdnLayerState& st, std::span<const float> r,
                        std::span<const float> a_in, std::span<const float> b_in) {
  const uint64_t K = g.conv_kernel, C = g.channels(), qk = g.qk(), d = g.d;
  const std::vector<float>& w = t.conv->data;
  const uint64_t taps = t.conv->dims[0];
  TokenInputs in;
  // Convolution over [history..., current]: the current input first, then oldest to newest.
  in.y.resize(static_cast<size_t>(C));
  float* conv = st.conv.data();
  for (uint64_t c = 0; c < C; ++c) {
    const float* wc = w.data() + c * taps;
    float acc = wc[K - 1] * r[c];
    for (uint64_t tp = 0; tp + 1 < K; ++tp) acc = acc + wc[tp] * conv[tp * C + c];
    in.y[c] = silu(acc);
  }
  for (uint64_t row = 0; row + 2 < K; ++row) {
    std::copy(conv + (row + 1) * C, conv + (row + 2) * C, conv + row * C);
  }
  std::copy(r.begin(), r.end(), conv + (K - 2) * C);

  const float s = powf(static_cast<float>(d), -0.5f);
  l2_normalize_heads({in.y.data(), static_cast<size_t>(qk)}, g.hk, d, s * s);
  l2_normalize_heads({in.y.data() + qk, static_cast<size_t>(qk)}, g.hk, d, s);

  in.decay.resize(static_cast<size_t>(g.hv));
  in.beta.resize(static_cast<size_t>(g.hv));
  for (uint64_t l = 0; l < g.hv; ++l) {
    const float u = a_in[l] + t.dt_bias[l];
    in.decay[l] = expf(t.a[l] * softplus(u));
    in.beta[l] = sigmoid(b_in[l]);
  }
  return in;
}

// The delta rule of every value head for `ins` in order, into their zeroed `out`
// columns, the heads split across the pool. Heads never share state, so any split gives
// the same bits.
void gdn_steps(const GdnGeometry& g, GdnLayerState& st, std::span<const TokenInputs> ins,
               std::span<std::vector<float>> out, ThreadPool* pool) {
  const uint64_t qk = g.qk();
  std::vector<StepToken> tok(ins.size());
  for (size_t j = 0; j < ins.size(); ++j) {
    const float* y = ins[j].y.data();
    tok[j] = {y, y + qk, y + 2 * qk, ins[j].decay.data(), ins[j].beta.data(), out[j].data()};
  }
  const uint64_t work = std::max<uint64_t>(4 * g.d * g.d * ins.size(), 1);
  parallel_for(
      pool, static_cast<size_t>(g.hv),
      [&](size_t l0, size_t l1) { gdn_step_tokens(st.recurrent, tok, g.d, g.hk, l0, l1); },
      static_cast<size_t>(std::max<uint64_t>(1, kMinHeadWork / work)));
}

// The recurrence of every column, in `out` (inner floats each, zeroed). With a hook,
// token by token (the hook runs before each later step); without, all tokens in one
// split of the heads.
Status gdn_recurrence(const GdnGeometry& g, const GdnWeights& t, GdnLayerState& st, const Columns& r,
                      const Columns& a_in, const Columns& b_in, Columns& out, ThreadPool* pool,
                      const GdnStepHook& before_step, const GdnScanFn& scan) {
  const size_t n = r.size();
  if (before_step || scan) {
    const size_t qk = static_cast<size_t>(g.qk());
    for (size_t j = 0; j < n; ++j) {
      if (j > 0 && before_step) KS_CHECK(before_step());
      const TokenInputs in = gdn_prepare(g, t, st, r[j], a_in[j], b_in[j]);
      if (scan) {
        const std::span<const float> y(in.y);
        KS_CHECK(scan(st, {y.first(qk), y.subspan(qk, qk), y.subspan(2 * qk), in.decay, in.beta, out[j]}));
      } else {
        gdn_steps(g, st, {&in, 1}, {&out[j], 1}, pool);
      }
    }
    return {};
  }
  std::vector<TokenInputs> ins;
  ins.reserve(n);
  for (size_t j = 0; j < n; ++j) ins.push_back(gdn_prepare(g, t, st, r[j], a_in[j], b_in[j]));
  gdn_steps(g, st, ins, out, pool);
  return {};
}

// The gated output norm of one token: g = silu(z) * (rms-normed out per head * ssm_norm).
void gdn_gate(const GdnGeometry& g, const GdnWeights& t, std::span<const float> out, std::span<const float> z,
              std::span<float> gated) {
  const uint64_t d = g.d;
  for (uint64_t l = 0; l < g.hv; ++l) {
    const float* ol = out.data() + l * d;
    const float* zl = z.data() + l * d;
    float* gl = gated.data() + l * d;
    const float p = dot({ol, static_cast<size_t>(d)}, {ol, static_cast<size_t>(d)});
    const float inv = 1.0f / sqrtf(p / static_cast<float>(d) + g.eps);
    for (uint64_t b = 0; b < d; ++b) gl[b] = (sigmoid(zl[b]) * zl[b]) * ((ol[b] * inv) * t.out_norm[b]);
  }
}

}  // namespace

Result<Columns> gdn_outputs(const GdnGeometry& g, const GdnWeights& t, GdnLayerState& st, ColumnsIn xs,
                            ThreadPool* pool, const GdnStepHook& before_step, const ProductFn& products,
                            const GdnScanFn& scan) {
  if (before_step) KS_CHECK(before_step());
  const uint64_t K = g.conv_kernel;
  if (K < 2) return invalid_data("gdn_mixer: conv_kernel < 2 unsupported");
  if (g.hk == 0) return invalid_data("gdn_mixer: Hk is 0");
  const uint64_t C = g.channels(), inner = g.inner(), d = g.d;
  const size_t n = xs.size();
  Columns xn(n);
  for (size_t j = 0; j < n; ++j) {
    if (t.norm.size() < xs[j].size()) return invalid_data("gdn_mixer: norm geometry mismatch");
    KS_TRY(xn[j], rms_norm(xs[j], t.norm, g.eps, "gdn_mixer"));
  }

  KS_TRY(Columns r, multiply(t.qkv, xn, pool, products));
  for (const auto& c : r) {
    if (c.size() != C || st.conv.size() != (K - 1) * C) {
      return invalid_data(format("gdn_mixer: qkv/conv geometry mismatch (qkv {}, conv {}, width {})", c.size(),
                                 st.conv.size(), C));
    }
  }
  const uint64_t taps = t.conv->dims.empty() ? 0 : t.conv->dims[0];
  if (taps < K || t.conv->data.size() / taps < C) {
    return invalid_data(format("gdn_mixer: conv weight dims {} too small for conv_kernel {} x channels {}",
                               list_str(t.conv->dims), K, C));
  }
  // Per-head vectors and the output norm are checked before any state moves.
  if (t.a.size() < g.hv || t.dt_bias.size() < g.hv) {
    return invalid_data(format("gdn_mixer: ssm_a/ssm_dt.bias lengths {}, {} < Hv {}", t.a.size(), t.dt_bias.size(),
                               g.hv));
  }
  if (t.out_norm.size() < d) {
    return invalid_data(format("gdn_mixer: ssm_norm length {} < d {}", t.out_norm.size(), d));
  }
  if (matrix_rows(t.alpha) < g.hv || matrix_rows(t.beta) < g.hv) {
    return invalid_data(format("gdn_mixer: ssm_alpha/ssm_beta rows {}, {} < Hv {}", matrix_rows(t.alpha),
                               matrix_rows(t.beta), g.hv));
  }

  // The decay and strength inputs do not depend on the state; the convolution that
  // precedes them for a single token cannot fail, so computing them first changes no
  // outcome.
  KS_TRY(Columns a_in, multiply(t.alpha, xn, pool, products));
  KS_TRY(Columns b_in, multiply(t.beta, xn, pool, products));
  for (size_t j = 0; j < n; ++j) {
    if (a_in[j].size() < g.hv || b_in[j].size() < g.hv) {
      return invalid_data(
          format("gdn_mixer: ssm_alpha/ssm_beta rows {}, {} < Hv {}", a_in[j].size(), b_in[j].size(), g.hv));
    }
  }

  Columns out(n, std::vector<float>(static_cast<size_t>(inner), 0.0f));
  KS_CHECK(gdn_recurrence(g, t, st, r, a_in, b_in, out, pool, before_step, scan));

  KS_TRY(Columns z, multiply(t.gate, xn, pool, products));
  Columns gated(n, std::vector<float>(static_cast<size_t>(inner)));
  for (size_t j = 0; j < n; ++j) {
    if (z[j].size() != inner) return invalid_data(format("gdn_mixer: gate rows {} != inner {}", z[j].size(), inner));
  }
  // Columns are independent here; each one's gate is a few thousand sigmoids.
  parallel_for(
      pool, n, [&](size_t j0, size_t j1) {
        for (size_t j = j0; j < j1; ++j) gdn_gate(g, t, out[j], z[j], gated[j]);
      },
      static_cast<size_t>(std::max<uint64_t>(1, kMinHeadWork / std::max<uint64_t>(16 * inner, 1))));

  KS_TRY(Columns yo, multiply(t.out, gated, pool, products));
  for (size_t j = 0; j < n; ++j) {
    if (yo[j].size() != xs[j].size()) {
      return invalid_data(format("gdn_mixer: out rows {} != hidden {}", yo[j].size(), xs[j].size()));
    }
  }
  return yo;
}

namespace {

// Adds the layer's outputs into the columns, with the trace's norm of the last one.
Status gdn_add(const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st, ColumnsOut xs,
               const HostRun& run, const GdnStepHook& hook, float* out_norm) {
  const std::vector<std::span<const float>> in(xs.begin(), xs.end());
  GdnScanFn scan;
  if (run.gdn_scan) {
    scan = [&](const GdnLayerState& s, const GdnScanIo& io) { return run.gdn_scan(nonce, s, io); };
  }
  KS_TRY(Columns y, gdn_outputs(g, w, st, in, run.pool, hook, run.products, scan));
  if (out_norm && !y.empty()) *out_norm = l2_norm(y.back());
  for (size_t j = 0; j < xs.size(); ++j) add_in_place(xs[j], y[j]);
  return {};
}

}  // namespace

// One column: a pending restore, then a snapshot of the state it starts from. Several
// columns (a verify pass): a pending restore but no snapshot before the first column
// (the state before the round is not a verify result), then the state after each
// column but the last. With the window closed only the restore can happen, so the
// recurrence then runs all columns in one split of the heads.
Status host_gdn_mixer(const HostRun& run, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce,
                      GdnLayerState& st, ColumnsOut xs, float* out_norm) {
  CpuSpecState& window = *run.window;
  if (xs.size() == 1 || !spec_window_armed(window)) {
    KS_CHECK(spec_before_gdn_step(window, nonce, st, xs.size() == 1));
    return gdn_add(g, w, nonce, st, xs, run, {}, out_norm);
  }
  size_t calls = 0;
  const GdnStepHook hook = [&]() -> Status {
    if (calls++ == 0) return spec_before_gdn_step(window, nonce, st, false);
    spec_snapshot(window, nonce, st);
    return {};
  };
  return gdn_add(g, w, nonce, st, xs, run, hook, out_norm);
}

Status cpu_gdn_mixer(const Cpu& cpu, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                     ColumnsOut xs, float* out_norm) {
  return host_gdn_mixer(cpu_run(cpu), g, w, nonce, st, xs, out_norm);
}

}  // namespace kestrune
