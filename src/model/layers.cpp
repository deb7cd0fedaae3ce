#include "model/layers.h"

#include <algorithm>

#include "common/format.h"
#include "numerics/scalar.h"

namespace kestrune {

namespace {

// acc += m · h; the traced form keeps the product to report its last column's norm.
Status add_output(const Backend& b, const Matrix& m, const Activations& h, Activations& acc, float* out_norm) {
  if (out_norm == nullptr) return matmul_add(b, m, h, acc);
  KS_TRY(Activations y, matmul(b, m, h));
  KS_TRY(std::vector<float> last, download_column(b, y, y.k - 1));
  *out_norm = l2_norm(last);
  return add(b, acc, y);
}

// The residual width of every host column (device columns share one).
bool columns_fit(const Activations& x, size_t n) {
  return x.device ? x.n == n : std::all_of(x.host.begin(), x.host.end(), [&](const auto& c) { return c.size() == n; });
}

Status check_attention(const AttentionGeometry& g, const AttnWeights& w, const Activations& x) {
  if (g.n_kv == 0 || g.n_head % g.n_kv != 0) return invalid_data("attn_mixer: n_head % n_kv != 0");
  if (g.rope_dim % 2 != 0 || g.rope_dim > g.head_dim) return invalid_data("attn_mixer: bad rope_dim");
  if (w.norm.size() < x.n || !columns_fit(x, x.n) || w.q_norm.size() < g.head_dim ||
      w.k_norm.size() < g.head_dim) {
    return invalid_data("attn_mixer: norm geometry mismatch");
  }
  const uint64_t q_rows = 2 * g.n_head * g.head_dim;
  if (matrix_rows(w.q) != q_rows) {
    return invalid_data(format("attn_mixer: q rows {} != 2*n_head*hd_k {}", matrix_rows(w.q), q_rows));
  }
  if (matrix_rows(w.k) != g.kv_width() || matrix_rows(w.v) != g.kv_width()) {
    return invalid_data("attn_mixer: k/v projection geometry mismatch");
  }
  if (matrix_rows(w.out) != x.n) {
    return invalid_data(format("attn_mixer: out rows {} != hidden {}", matrix_rows(w.out), x.n));
  }
  return {};
}

template <class Part>
Status check_parts(std::span<const Part> parts, const Activations& x, const char* op) {
  size_t columns = 0;
  for (const Part& p : parts) columns += p.columns;
  if (columns != x.k) return invalid_data(format("{}: {} columns for sequences of {}", op, x.k, columns));
  return {};
}

// Runs `op` on each part's columns of every input in turn and joins the outputs; one part
// takes the inputs whole.
template <class Part, size_t N, class Op>
Result<Activations> per_part(const Backend& b, std::span<const Part> parts, const Activations* (&&in)[N], Op&& op) {
  if (parts.size() == 1) {
    const Activations* whole[N];
    for (size_t i = 0; i < N; ++i) whole[i] = in[i];
    return op(parts[0], whole);
  }
  std::vector<Activations> outs;
  size_t first = 0;
  for (const Part& p : parts) {
    Activations pieces[N];
    const Activations* view[N];
    for (size_t i = 0; i < N; ++i) {
      KS_TRY(pieces[i], slice(b, *in[i], first, p.columns));
      view[i] = &pieces[i];
    }
    KS_TRY(Activations out, op(p, view));
    outs.push_back(std::move(out));
    first += p.columns;
  }
  return concat(b, outs);
}

Status check_gdn(const GdnGeometry& g, const GdnWeights& w, const GdnLayerState& st, const Activations& x) {
  const uint64_t K = g.conv_kernel, C = g.channels(), inner = g.inner();
  if (K < 2) return invalid_data("gdn_mixer: conv_kernel < 2 unsupported");
  if (g.hk == 0) return invalid_data("gdn_mixer: Hk is 0");
  if (w.norm.size() < x.n || !columns_fit(x, x.n)) return invalid_data("gdn_mixer: norm geometry mismatch");
  if (matrix_rows(w.qkv) != C || st.conv.size() != (K - 1) * C) {
    return invalid_data(format("gdn_mixer: qkv/conv geometry mismatch (qkv {}, conv {}, width {})",
                               matrix_rows(w.qkv), st.conv.size(), C));
  }
  const uint64_t taps = w.conv == nullptr || w.conv->dims.empty() ? 0 : w.conv->dims[0];
  if (taps < K || w.conv->data.size() / taps < C) {
    return invalid_data(format("gdn_mixer: conv weight dims {} too small for conv_kernel {} x channels {}",
                               list_str(w.conv ? w.conv->dims : std::vector<uint64_t>{}), K, C));
  }
  if (w.a.size() < g.hv || w.dt_bias.size() < g.hv) {
    return invalid_data(
        format("gdn_mixer: ssm_a/ssm_dt.bias lengths {}, {} < Hv {}", w.a.size(), w.dt_bias.size(), g.hv));
  }
  if (w.out_norm.size() < g.d) return invalid_data(format("gdn_mixer: ssm_norm length {} < d {}", w.out_norm.size(), g.d));
  if (matrix_rows(w.alpha) < g.hv || matrix_rows(w.beta) < g.hv) {
    return invalid_data(format("gdn_mixer: ssm_alpha/ssm_beta rows {}, {} < Hv {}", matrix_rows(w.alpha),
                               matrix_rows(w.beta), g.hv));
  }
  if (matrix_rows(w.gate) != inner) {
    return invalid_data(format("gdn_mixer: gate rows {} != inner {}", matrix_rows(w.gate), inner));
  }
  if (st.recurrent.size() != g.hv * g.d * g.d) return invalid_data("gdn_mixer: recurrent state geometry mismatch");
  if (matrix_rows(w.out) != x.n) {
    return invalid_data(format("gdn_mixer: out rows {} != hidden {}", matrix_rows(w.out), x.n));
  }
  return {};
}

Status check_ffn(const FfnWeights& w, const Activations& x) {
  if (w.norm.size() < x.n || !columns_fit(x, x.n)) return invalid_data("ffn_swiglu: norm geometry mismatch");
  if (matrix_rows(w.gate) != matrix_rows(w.up) || matrix_rows(w.down) != x.n) {
    return invalid_data(format("ffn_swiglu: tensor geometry mismatch (gate {}, up {}, down {}, hidden {})",
                               matrix_rows(w.gate), matrix_rows(w.up), matrix_rows(w.down), x.n));
  }
  return {};
}

}  // namespace

Status attention_layer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w,
                       std::span<const AttnPart> parts, const Activations& x, Activations& acc, float* out_norm) {
  if (x.k == 0) return {};
  KS_CHECK(check_parts(parts, x, "attn_mixer"));
  KS_CHECK(check_attention(g, w, x));
  KS_TRY(Activations xn, rms_norm(b, x, w.norm, g.eps, "attn_mixer"));
  KS_TRY(Activations qg, matmul(b, w.q, xn));
  KS_TRY(Activations k, matmul(b, w.k, xn));
  KS_TRY(Activations v, matmul(b, w.v, xn));
  KS_TRY(Activations o, per_part(b, parts, {&qg, &k, &v}, [&](const AttnPart& p, const Activations* const* in) {
           return attention(b, g, w, p.pos, p.nonce, *p.kv, *in[0], *in[1], *in[2]);
         }));
  return add_output(b, w.out, o, acc, out_norm);
}

Status gdn_layer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, std::span<const GdnPart> parts,
                 const Activations& x, Activations& acc, float* out_norm) {
  if (x.k == 0) return {};
  KS_CHECK(check_parts(parts, x, "gdn_mixer"));
  for (const GdnPart& p : parts) KS_CHECK(check_gdn(g, w, *p.st, x));
  KS_TRY(Activations xn, rms_norm(b, x, w.norm, g.eps, "gdn_mixer"));
  KS_TRY(auto qkv_z, matmul_pair(b, w.qkv, w.gate, xn));
  auto& [qkv, z] = qkv_z;
  KS_TRY(Activations gates, gdn_gates(b, g, w, xn));
  KS_TRY(Activations scan, per_part(b, parts, {&qkv, &gates},
                                     [&](const GdnPart& p, const Activations* const* in) -> Result<Activations> {
                                       KS_TRY(Activations conv, gdn_conv(b, g, *w.conv, p.nonce, *p.st, *in[0]));
                                       return gdn_scan(b, g, p.nonce, *p.st, conv, *in[1]);
                                     }));
  KS_TRY(Activations gated, gated_norm(b, g, w.out_norm, scan, z));
  return add_output(b, w.out, gated, acc, out_norm);
}

Status attention_layer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                       uint64_t nonce, KvCache& kv, const Activations& x, Activations& acc, float* out_norm) {
  const AttnPart part{&kv, nonce, pos, x.k};
  return attention_layer(b, g, w, std::span<const AttnPart>(&part, 1), x, acc, out_norm);
}

Status gdn_layer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 const Activations& x, Activations& acc, float* out_norm) {
  const GdnPart part{&st, nonce, x.k};
  return gdn_layer(b, g, w, std::span<const GdnPart>(&part, 1), x, acc, out_norm);
}

Status ffn_layer(const Backend& b, const FfnWeights& w, float eps, const Activations& x, Activations& acc,
                 float* out_norm) {
  if (x.k == 0) return {};
  KS_CHECK(check_ffn(w, x));
  KS_TRY(Activations xn, rms_norm(b, x, w.norm, eps, "ffn_swiglu"));
  KS_TRY(auto gate_up, matmul_pair(b, w.gate, w.up, xn));
  auto& [gate, up] = gate_up;
  KS_CHECK(silu_mul(b, gate, up));
  return add_output(b, w.down, gate, acc, out_norm);
}

Result<Columns> logits_head(const Backend& b, std::span<const float> norm, const Matrix& head, float eps,
                            const Activations& x) {
  if (x.k == 0) return Columns{};
  if (!columns_fit(x, x.n)) return invalid_data("logits_head: column length mismatch");
  KS_TRY(Activations xn, rms_norm(b, x, norm, eps, "output_norm"));
  KS_TRY(Activations y, matmul(b, head, xn));
  return download(b, std::move(y));
}

namespace {

// Runs `layer` on host columns: up, the layer, and back into the columns.
template <class Layer>
Status on_host_columns(const Backend& b, ColumnsOut xs, Layer&& layer) {
  Columns in(xs.size());
  for (size_t j = 0; j < xs.size(); ++j) in[j].assign(xs[j].begin(), xs[j].end());
  KS_TRY(Activations x, upload(b, std::move(in)));
  KS_CHECK(layer(x));
  KS_TRY(Columns out, download(b, std::move(x)));
  for (size_t j = 0; j < xs.size(); ++j) std::copy(out[j].begin(), out[j].end(), xs[j].begin());
  return {};
}

}  // namespace

Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, uint64_t nonce,
                  KvCache& kv, ColumnsOut xs, float* out_norm) {
  return on_host_columns(b, xs, [&](Activations& x) { return attention_layer(b, g, w, pos, nonce, kv, x, x, out_norm); });
}

Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 ColumnsOut xs, float* out_norm) {
  return on_host_columns(b, xs, [&](Activations& x) { return gdn_layer(b, g, w, nonce, st, x, x, out_norm); });
}

Status ffn_swiglu(const Backend& b, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm) {
  return on_host_columns(b, xs, [&](Activations& x) { return ffn_layer(b, w, eps, x, x, out_norm); });
}

Result<std::vector<float>> project(const Backend& b, const Matrix& m, std::span<const float> x) {
  Columns in(1);
  in[0].assign(x.begin(), x.end());
  KS_TRY(Activations a, upload(b, std::move(in)));
  KS_TRY(Activations y, matmul(b, m, a));
  KS_TRY(Columns out, download(b, std::move(y)));
  return std::move(out[0]);
}

}  // namespace kestrune
