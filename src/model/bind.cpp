#include "model/bind.h"

#include <unordered_map>

#include "common/format.h"

namespace kestrune {

namespace {

struct Binder {
  const ModelFile& file;
  const TensorCache& cache;

  Result<Matrix> matrix(const std::string& name, Route route) const {
    if (route == Route::Cached) {
      auto it = cache.find(name);
      if (it != cache.end()) return Matrix{&it->second};
    }
    KS_TRY(TensorView view, tensor_view(file, name));
    return Matrix{view};
  }

  // A matrix the layers always take dense from the cache.
  Result<Matrix> cached_matrix(const std::string& name) const {
    KS_TRY(const CachedTensor* t, cached_tensor(cache, name));
    return Matrix{t};
  }

  // A small tensor needed whole: its data in the cache.
  Result<std::span<const float>> vector(const std::string& name) const {
    KS_TRY(const CachedTensor* t, cached_tensor(cache, name));
    return std::span<const float>(t->data);
  }

  Result<AttnWeights> attn(uint64_t layer, Route route) const {
    const std::string p = format("blk.{}.", layer);
    AttnWeights t;
    KS_TRY(t.norm, vector(p + "attn_norm.weight"));
    KS_TRY(t.q, matrix(p + "attn_q.weight", route));
    KS_TRY(t.k, matrix(p + "attn_k.weight", route));
    KS_TRY(t.v, matrix(p + "attn_v.weight", route));
    KS_TRY(t.q_norm, vector(p + "attn_q_norm.weight"));
    KS_TRY(t.k_norm, vector(p + "attn_k_norm.weight"));
    KS_TRY(t.out, matrix(p + "attn_output.weight", route));
    return t;
  }

  Result<GdnWeights> gdn(uint64_t layer, Route route, uint64_t conv_kernel) const {
    const std::string p = format("blk.{}.", layer);
    GdnWeights t;
    KS_TRY(t.norm, vector(p + "attn_norm.weight"));
    KS_TRY(t.qkv, matrix(p + "attn_qkv.weight", route));
    KS_TRY(t.conv, cached_tensor(cache, p + "ssm_conv1d.weight"));
    if (route == Route::Streamed && (t.conv->dims.empty() || t.conv->dims[0] != conv_kernel)) {
      return invalid_data(format("blk.{}.ssm_conv1d dims {} inconsistent with conv_kernel {}", layer,
                                 list_str(t.conv->dims), conv_kernel));
    }
    if (route == Route::Cached) {
      KS_TRY(t.alpha, matrix(p + "ssm_alpha.weight", route));
      KS_TRY(t.beta, matrix(p + "ssm_beta.weight", route));
    } else {
      KS_TRY(t.alpha, cached_matrix(p + "ssm_alpha.weight"));
      KS_TRY(t.beta, cached_matrix(p + "ssm_beta.weight"));
    }
    KS_TRY(t.a, vector(p + "ssm_a"));
    KS_TRY(t.dt_bias, vector(p + "ssm_dt.bias"));
    KS_TRY(t.gate, matrix(p + "attn_gate.weight", route));
    KS_TRY(t.out_norm, vector(p + "ssm_norm.weight"));
    KS_TRY(t.out, matrix(p + "ssm_out.weight", route));
    return t;
  }

  Result<FfnWeights> ffn(uint64_t layer, Route route) const {
    const std::string p = format("blk.{}.", layer);
    FfnWeights t;
    KS_TRY(t.norm, vector(p + "post_attention_norm.weight"));
    KS_TRY(t.gate, matrix(p + "ffn_gate.weight", route));
    KS_TRY(t.up, matrix(p + "ffn_up.weight", route));
    KS_TRY(t.down, matrix(p + "ffn_down.weight", route));
    return t;
  }

  Result<MixerWeights> mixer(uint64_t layer, LayerKind kind, Route route, uint64_t conv_kernel) const {
    if (kind == LayerKind::Attention) {
      KS_TRY(AttnWeights a, attn(layer, route));
      return MixerWeights{std::move(a)};
    }
    KS_TRY(GdnWeights g, gdn(layer, route, conv_kernel));
    return MixerWeights{std::move(g)};
  }
};

}  // namespace

void bind_model_weights(ModelWeights& w, const ModelFile& file, const ModelConfig& config, Route route) {
  const Binder b{file, w.cache};
  w.route = route;
  w.layers.clear();
  const auto& kinds = config.layer_kinds;
  for (uint64_t i = 0; i < kinds.size(); ++i) {
    w.layers.push_back({b.mixer(i, kinds[i], route, config.ssm_conv_kernel), b.ffn(i, route)});
  }
  w.output_norm = b.vector("output_norm.weight");
  w.head = b.matrix(w.head_name, Route::Cached);
  w.head_view = tensor_view(file, w.head_name);
  w.embed_view = tensor_view(file, "token_embd.weight");

  w.draft_layer = config.n_layers;
  w.draft.reset();
  if (!find_tensor(file.gguf, format("blk.{}.nextn.eh_proj.weight", w.draft_layer))) return;
  const std::string p = format("blk.{}.", w.draft_layer);
  w.draft = DraftWeights{b.vector(p + "nextn.enorm.weight"),
                         b.vector(p + "nextn.hnorm.weight"),
                         b.matrix(p + "nextn.eh_proj.weight", Route::Cached),
                         b.attn(w.draft_layer, Route::Streamed),
                         b.ffn(w.draft_layer, Route::Streamed),
                         b.vector(p + "nextn.shared_head_norm.weight")};
}

namespace {

struct Packer {
  ModelWeights& w;
  const Backend& backend;
  bool release;
  std::unordered_map<const TensorInfo*, const PackedRows*> done;

  void view(TensorView& v) {
    if (v.info == nullptr) return;
    auto it = done.find(v.info);
    if (it == done.end()) {
      PackedWeight p = pack_weight(backend, v, release);
      if (p.rows != nullptr) w.packed.push_back(p);
      it = done.emplace(v.info, p.rows).first;
    }
    v.packed = it->second;
  }
  void matrix(Matrix& m) {
    if (auto* v = std::get_if<TensorView>(&m)) view(*v);
  }
  template <class T>
  void result(Result<T>& r) {
    if (r.ok()) each(r.value());
  }
  void each(Matrix& m) { matrix(m); }
  void each(TensorView& v) { view(v); }
  void each(AttnWeights& a) {
    for (Matrix* m : {&a.q, &a.k, &a.v, &a.out}) matrix(*m);
  }
  void each(GdnWeights& g) {
    for (Matrix* m : {&g.qkv, &g.alpha, &g.beta, &g.gate, &g.out}) matrix(*m);
  }
  void each(FfnWeights& f) {
    for (Matrix* m : {&f.gate, &f.up, &f.down}) matrix(*m);
  }
  void each(MixerWeights& m) {
    std::visit([&](auto& x) { each(x); }, m);
  }
};

}  // namespace

void pack_model_weights(ModelWeights& w, const Backend& b, const ModelFile& file) {
  Packer p{w, b, file.map != nullptr && file.map->owned, {}};
  for (LayerWeights& l : w.layers) {
    p.result(l.mixer);
    p.result(l.ffn);
  }
  p.result(w.head);
  p.result(w.head_view);
  if (w.draft) {
    p.result(w.draft->eh_proj);
    p.result(w.draft->attn);
    p.result(w.draft->ffn);
  }
  // Packed only as the tied head: an untied embedding is read a row per token.
  if (w.embed_view.ok()) {
    if (auto it = p.done.find(w.embed_view->info); it != p.done.end()) w.embed_view->packed = it->second;
  }
}

}  // namespace kestrune
