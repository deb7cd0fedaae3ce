#include "model/model.h"

#include <array>
#include <string_view>

#include "common/diag.h"
#include "common/env.h"
#include "common/format.h"
#include "model/mtp.h"

namespace kestrune {

namespace {

// White_Space code points as UTF-8, for trimming probe ids.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    " ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

std::string_view trim(std::string_view s) {
  for (bool moved = true; moved;) {
    moved = false;
    for (auto ws : kWhiteSpace) {
      if (s.starts_with(ws)) { s.remove_prefix(ws.size()); moved = true; }
      if (s.ends_with(ws)) { s.remove_suffix(ws.size()); moved = true; }
    }
  }
  return s;
}

// Decimal u32 with an optional leading "+"; absent for anything else.
std::optional<uint32_t> parse_u32(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

// The recurrent and conv state sizes must be computable before any sequence is made.
Status check_state_sizes(const ModelConfig& c) {
  const GdnGeometry g = gdn_geometry(c);
  bool any_gdn = false;
  for (auto k : c.layer_kinds) any_gdn |= k == LayerKind::Gdn;
  if (!any_gdn) return {};
  const uint64_t C = g.channels();  // Hk | Hv and Hv*d = inner were checked
  const uint64_t rows = g.conv_kernel == 0 ? 0 : g.conv_kernel - 1;
  const bool overflow = (C != 0 && rows > SIZE_MAX / sizeof(float) / C) ||
                        (g.d != 0 && g.inner() > SIZE_MAX / sizeof(float) / g.d);
  if (overflow) {
    return invalid_data(format("GDN state of conv_kernel {}, Hv {}, d {} is too large", g.conv_kernel, g.hv, g.d));
  }
  return {};
}

uint64_t head_row_count(const ModelFile& file, const std::string& name) {
  const TensorInfo* t = find_tensor(file.gguf, name);
  if (!t) return 0;
  uint64_t rows = 1;
  for (size_t i = 1; i < t->dims.size(); ++i) rows *= t->dims[i];
  return rows;
}

const char* on_off(bool v) { return v ? "on" : "off"; }

}  // namespace

std::vector<uint32_t> parse_lens(const std::string& value) {
  std::vector<uint32_t> ids;
  std::string_view rest = value;
  while (true) {
    const size_t comma = rest.find(',');
    if (auto id = parse_u32(trim(rest.substr(0, comma)))) ids.push_back(*id);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return ids;
}

Result<std::unique_ptr<Model>> load_model(const std::string& path) {
  auto m = std::make_unique<Model>();
  KS_TRY(m->file, open_model_file(path));
  const GgufFile& gguf = m->file->gguf;
  KS_CHECK(arch_check(gguf));
  KS_TRY(m->config, config_from_gguf(gguf));
  m->attn = attention_geometry(m->config);
  m->gdn = gdn_geometry(m->config);

  KS_TRY(LoadedWeights w, load_weights(*m->file));
  m->mode = w.mode;
  m->lazy = w.mode == WeightsMode::Lazy;
  m->cache = std::move(w.cache);
  m->head_name = w.head.tensor_name;
  m->head_rows = head_row_count(*m->file, m->head_name);

  m->trace = env_is_set("KESTRUNE_TRACE");
  diag(format("# trace: {}\n", on_off(m->trace)));
  if (auto v = env_utf8("KESTRUNE_LENS")) m->lens = parse_lens(*v);
  diag(format("# lens: {} probe id(s)\n", m->lens.size()));

  m->draft_layer = m->config.n_layers;
  m->has_draft = find_tensor(gguf, format("blk.{}.nextn.eh_proj.weight", m->draft_layer)) != nullptr;
  if (m->has_draft) diag(format("# mtp: draft head present at blk.{}\n", m->draft_layer));

  m->alpha = env_is_set("KESTRUNE_MTP_ALPHA");
  if (m->alpha && !m->has_draft) diag("# mtp: KESTRUNE_MTP_ALPHA set but no nextn tensors -- instrument idle\n");
  diag(format("# mtp alpha instrument: {}\n", on_off(m->alpha)));

  const auto mtp = env_utf8("KESTRUNE_MTP");
  m->speculative = mtp && *mtp == "1" && !m->trace && !m->alpha && m->has_draft && m->lazy && m->lens.empty();
  diag(format("# mtp speculative: {}\n", m->speculative ? "armed" : "off"));

  KS_TRY(m->backend, select_backend());
  m->pool = make_thread_pool(parse_thread_count(env_utf8("KESTRUNE_THREADS")));
  if (auto* cpu = std::get_if<Cpu>(&m->backend)) cpu->pool = m->pool.get();
  KS_CHECK(check_geometry(m->config, *m->file));
  KS_CHECK(check_state_sizes(m->config));
  return m;
}

DecodeState new_state(const Model& model) {
  DecodeState s;
  s.layers.reserve(model.config.layer_kinds.size());
  for (LayerKind kind : model.config.layer_kinds) {
    LayerState ls;
    ls.nonce = next_nonce();
    if (kind == LayerKind::Attention) {
      ls.data = KvCache{};
    } else {
      ls.data = new_gdn_state(model.gdn);
    }
    s.layers.push_back(std::move(ls));
  }
  if (model.has_draft) {
    s.draft_cache = KvCache{};
    s.nonce = next_nonce();
  }
  return s;
}

Result<std::vector<float>> embed(const Model& model, uint32_t token) {
  auto it = model.cache.find("token_embd.weight");
  if (it != model.cache.end()) {
    const CachedTensor& t = it->second;
    const uint64_t hidden = t.dims[0];  // the cache holds no tensor without a row length
    const uint64_t rows = t.data.size() / hidden;
    if (token >= rows) return invalid_data(format("row {} out of range ({})", token, rows));
    const float* row = t.data.data() + token * hidden;
    return std::vector<float>(row, row + hidden);
  }
  KS_TRY(TensorView view, tensor_view(*model.file, "token_embd.weight"));
  return dequant_row(view, token);
}

namespace {

std::string norm_str(std::span<const float> v) { return fixed_str(l2_norm(v), 4); }

// One layer on the cached route, computed inline; returns the norms the trace reports.
struct LayerNorms {
  float mix = 0;
  float ffn = 0;
};

Result<LayerNorms> cached_layer(const Model& model, const WeightSource& ws, uint64_t i, LayerState& ls,
                                uint32_t pos, std::vector<float>& x) {
  LayerNorms n;
  if (auto* kv = std::get_if<KvCache>(&ls.data)) {
    KS_TRY(AttnTensors t, bind_attn(ws, i, Route::Cached));
    KS_TRY(std::vector<float> y, attn_output(model.attn, t, pos, *kv, x));
    n.mix = l2_norm(y);
    add_in_place(x, y);
  } else {
    KS_TRY(GdnTensors t, bind_gdn(ws, i, Route::Cached, model.gdn));
    KS_TRY(std::vector<float> y, gdn_output(model.gdn, t, std::get<GdnLayerState>(ls.data), x));
    n.mix = l2_norm(y);
    add_in_place(x, y);
  }
  KS_TRY(FfnTensors f, bind_ffn(ws, i, Route::Cached));
  KS_TRY(std::vector<float> y, ffn_output(f, model.config.rms_eps, x));
  n.ffn = l2_norm(y);
  add_in_place(x, y);
  return n;
}

Status streamed_layer(const Model& model, const WeightSource& ws, uint64_t i, LayerState& ls, uint32_t pos,
                      std::vector<float>& x) {
  if (auto* kv = std::get_if<KvCache>(&ls.data)) {
    KS_TRY(AttnTensors t, bind_attn(ws, i, Route::Streamed));
    KS_CHECK(attn_mixer(model.backend, model.attn, t, pos, ls.nonce, *kv, x));
  } else {
    KS_TRY(GdnTensors t, bind_gdn(ws, i, Route::Streamed, model.gdn));
    KS_CHECK(gdn_mixer(model.backend, model.gdn, t, ls.nonce, std::get<GdnLayerState>(ls.data), x));
  }
  KS_TRY(FfnTensors f, bind_ffn(ws, i, Route::Streamed));
  return ffn_swiglu(model.backend, f, model.config.rms_eps, x);
}

bool state_matches(const LayerState& ls, LayerKind kind) {
  return std::holds_alternative<KvCache>(ls.data) == (kind == LayerKind::Attention);
}

}  // namespace

Result<std::vector<float>> forward(const Model& model, DecodeState& state, uint32_t token) {
  KS_TRY(std::vector<float> x, embed(model, token));
  const uint32_t pos = state.position;
  if (model.trace) diag(format("# trace t={} embed |x|={}\n", pos, norm_str(x)));

  if (model.alpha) {
    if (state.alpha_pending) {
      state.alpha_total += 1;
      const bool hit = state.alpha_draft == token;
      if (hit) state.alpha_hits += 1;
      const float pct = static_cast<float>(state.alpha_hits) * 100.0f / static_cast<float>(state.alpha_total);
      diag(format("# mtp t={} draft={} actual={} {} alpha={}/{} ({}%)\n", pos, state.alpha_draft, token,
                  hit ? "HIT " : "miss", state.alpha_hits, state.alpha_total, fixed_str(pct, 1)));
      state.alpha_pending = false;
    }
    // The draft made while feeding this token predicts the token fed next.
    if (model.has_draft && !state.hidden.empty()) {
      KS_TRY(uint32_t drafted, draft_step(model, state, x));
      state.alpha_draft = drafted;
      state.alpha_pending = true;
    }
  }

  KS_TRY(ForwardPass pass, forward_layers(model, state, std::move(x)));
  if (model.alpha) state.hidden = std::move(pass.hidden);
  return std::move(pass.logits);
}

Result<ForwardPass> forward_layers(const Model& model, DecodeState& state, std::vector<float> x) {
  const uint32_t pos = state.position;
  const WeightSource ws{model.file.get(), &model.cache, model.pool.get()};
  const bool streamed = model.lazy && !model.trace;
  const float eps = model.config.rms_eps;
  std::span<const float> out_norm;
  std::optional<TensorView> head_view;
  if (!model.lens.empty()) {
    KS_TRY(out_norm, bind_vector(ws, "output_norm.weight"));
    KS_TRY(head_view, tensor_view(*model.file, model.head_name));
  }

  const auto& kinds = model.config.layer_kinds;
  for (uint64_t i = 0; i < kinds.size(); ++i) {
    if (i >= state.layers.size() || !state_matches(state.layers[i], kinds[i])) {
      return invalid_data(format("layer {}: schedule/state mismatch", i));
    }
    LayerState& ls = state.layers[i];
    if (streamed) {
      KS_CHECK(streamed_layer(model, ws, i, ls, pos, x));
    } else {
      KS_TRY(LayerNorms n, cached_layer(model, ws, i, ls, pos, x));
      if (model.trace) {
        diag(format("# trace t={} L{} {} |mix|={} |ffn|={} |x|={}\n", pos, padded_str(i, 2),
                    kinds[i] == LayerKind::Attention ? "attn" : "gdn ", fixed_str(n.mix, 4), fixed_str(n.ffn, 4),
                    norm_str(x)));
      }
    }
    if (!model.lens.empty()) {
      KS_TRY(std::vector<float> xn, rms_norm(x, out_norm, eps, "lens"));
      std::string line = format("# lens t={} L{}", pos, padded_str(i, 2));
      for (uint32_t id : model.lens) {
        KS_TRY(std::vector<float> row, dequant_row(*head_view, id));
        line += format(" {}={}", id, fixed_str(dot(row, xn), 2, true));
      }
      diag(line + "\n");
    }
  }

  state.position += 1;

  KS_TRY(std::span<const float> w_norm, bind_vector(ws, "output_norm.weight"));
  KS_TRY(std::vector<float> xn, rms_norm(x, w_norm, eps, "output_norm"));
  KS_TRY(Matrix head, bind_matrix(ws, model.head_name, Route::Cached));
  ForwardPass pass;
  KS_TRY(pass.logits, matvec(head, xn, model.pool.get()));
  pass.hidden = std::move(x);
  return pass;
}

}  // namespace kestrune
