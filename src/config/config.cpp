#include "config/config.h"

#include "common/diag.h"
#include "common/format.h"

#include <charconv>

namespace kestrune {

namespace {
constexpr uint64_t kMaxLayers = 1u << 20;
constexpr uint64_t kLayerBookkeepingBytes = 128;

// j for "blk.{j}.attn_q.weight" with j written as format writes it; absent otherwise.
std::optional<uint64_t> attn_q_layer(std::string_view name) {
  constexpr std::string_view head = "blk.", tail = ".attn_q.weight";
  if (name.size() <= head.size() + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) {
    return std::nullopt;
  }
  const std::string_view digits = name.substr(head.size(), name.size() - head.size() - tail.size());
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  uint64_t j = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), j);
  if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return j;
}
}  // namespace

const char* layer_kind_name(LayerKind kind) { return kind == LayerKind::Gdn ? "Gdn" : "Attention"; }

Status arch_check(const GgufFile& file) {
  KS_TRY(std::string arch, meta_str(file, "general.architecture"));
  if (arch != "qwen35") return invalid_data(format("architecture '{}' not supported (supported: {})", arch, "qwen35"));
  diag("# arch: Qwen35 / TextAutoregressive\n");
  return {};
}

Result<ModelConfig> config_from_gguf(const GgufFile& file) {
  KS_TRY(std::string arch, meta_str(file, "general.architecture"));
  if (arch != "qwen35") {
    return invalid_data(format("general.architecture = {}; this engine speaks qwen35", quoted(arch)));
  }
  auto key = [&](const char* short_name) { return arch + "." + short_name; };
  ModelConfig c;
  KS_TRY(uint64_t block_count, meta_uint(file, key("block_count")));
  c.nextn_predict_layers = meta_uint_opt(file, key("nextn_predict_layers")).value_or(0);
  if (c.nextn_predict_layers > block_count) {
    return invalid_data(format("{} {} exceeds {} {}", key("nextn_predict_layers"), c.nextn_predict_layers,
                               key("block_count"), block_count));
  }
  if (c.nextn_predict_layers != 0) {
    diag(format("# mtp: {} nextn layer(s) present — excluded from forward (TODO(mtp-speculative))\n",
                c.nextn_predict_layers));
  }
  c.n_layers = block_count - c.nextn_predict_layers;
  // No real model comes near this; a larger count is corrupt and must not size the schedule.
  if (c.n_layers > kMaxLayers) {
    return invalid_data(format("{} {} is implausible (more than {} layers)", key("block_count"), block_count,
                               kMaxLayers));
  }

  // Layer j is attention when blk.{j}.attn_q.weight exists; found from the tensor list,
  // whose length the file's bytes bound, not by naming every layer.
  std::vector<LayerKind> by_name(static_cast<size_t>(c.n_layers), LayerKind::Gdn);
  for (const auto& t : file.tensors) {
    if (auto j = attn_q_layer(t.name); j && *j < c.n_layers) by_name[static_cast<size_t>(*j)] = LayerKind::Attention;
  }
  KS_TRY(c.full_attention_interval, meta_uint(file, key("full_attention_interval")));
  if (c.n_layers > 0 && c.full_attention_interval == 0) {
    return invalid_data(format("{} must not be 0", key("full_attention_interval")));
  }
  for (uint64_t j = 0; j < c.n_layers; ++j) {
    LayerKind by_interval = (j + 1) % c.full_attention_interval == 0 ? LayerKind::Attention : LayerKind::Gdn;
    if (by_interval != by_name[j]) {
      return invalid_data(format("layer {}: tensor names say {}, full_attention_interval={} says {}", j,
                                 layer_kind_name(by_name[j]), c.full_attention_interval,
                                 layer_kind_name(by_interval)));
    }
  }
  c.layer_kinds = std::move(by_name);

  if (meta_find(file, key("expert_count"))) {
    return invalid_data("MoE qwen35 file: FfnKind::Moe not implemented yet");
  }
  KS_TRY(c.feed_forward_length, meta_uint(file, key("feed_forward_length")));
  const TensorInfo* embd = find_tensor(file, "token_embd.weight");
  if (!embd) return invalid_data("token_embd.weight not found");
  KS_TRY(c.embedding_length, meta_uint(file, key("embedding_length")));
  if (embd->dims.empty() || embd->dims[0] != c.embedding_length) {
    return invalid_data(format("token_embd dims {} inconsistent with embedding_length {}", list_str(embd->dims),
                               c.embedding_length));
  }
  c.vocab_rows = embd->dims.size() >= 2 ? embd->dims[1] : 0;
  KS_TRY(c.context_length, meta_uint(file, key("context_length")));
  KS_TRY(c.rms_eps, meta_f32(file, key("attention.layer_norm_rms_epsilon")));
  KS_TRY(c.ssm_conv_kernel, meta_uint(file, key("ssm.conv_kernel")));
  KS_TRY(c.ssm_state_size, meta_uint(file, key("ssm.state_size")));
  KS_TRY(c.ssm_group_count, meta_uint(file, key("ssm.group_count")));
  KS_TRY(c.ssm_time_step_rank, meta_uint(file, key("ssm.time_step_rank")));
  KS_TRY(c.ssm_inner_size, meta_uint(file, key("ssm.inner_size")));
  KS_TRY(c.head_count, meta_uint(file, key("attention.head_count")));
  KS_TRY(c.head_count_kv, meta_uint(file, key("attention.head_count_kv")));
  KS_TRY(c.key_length, meta_uint(file, key("attention.key_length")));
  KS_TRY(c.value_length, meta_uint(file, key("attention.value_length")));
  KS_TRY(c.rope_dimension_count, meta_uint(file, key("rope.dimension_count")));
  KS_TRY(c.rope_freq_base, meta_f32(file, key("rope.freq_base")));
  return c;
}

namespace {
uint64_t ne1_or_zero(const TensorView& v) { return v.info->dims.size() >= 2 ? v.info->dims[1] : 0; }

// a * b, absent on overflow.
std::optional<uint64_t> mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}
}  // namespace

std::optional<uint64_t> state_bytes(const ModelConfig& c) {
  bool overflow = false;
  auto times = [&](uint64_t a, uint64_t b) {
    uint64_t r;
    overflow |= __builtin_mul_overflow(a, b, &r);
    return r;
  };
  auto plus = [&](uint64_t a, uint64_t b) {
    uint64_t r;
    overflow |= __builtin_add_overflow(a, b, &r);
    return r;
  };
  const uint64_t d = c.ssm_state_size, hk = c.ssm_group_count, hv = c.ssm_time_step_rank;
  const uint64_t channels = times(plus(times(2, hk), hv), d);
  const uint64_t conv_rows = c.ssm_conv_kernel == 0 ? 0 : c.ssm_conv_kernel - 1;
  const uint64_t gdn_layer = plus(times(conv_rows, channels), times(hv, times(d, d)));
  const uint64_t kv_position = times(2, times(c.head_count_kv, c.key_length));
  uint64_t floats = 0;
  for (LayerKind k : c.layer_kinds) floats = plus(floats, k == LayerKind::Gdn ? gdn_layer : kv_position);
  // Queries, gates and outputs of every attention head; the GDN channels twice.
  floats = plus(floats, plus(times(3, times(c.head_count, c.key_length)), times(2, channels)));
  // Each layer's state also carries its bookkeeping: a nonce and two containers.
  const uint64_t bytes = plus(times(floats, sizeof(float)), times(c.layer_kinds.size(), kLayerBookkeepingBytes));
  if (overflow) return std::nullopt;
  return bytes;
}

uint64_t state_limit_bytes(const std::optional<std::string>& v) {
  uint64_t limit = 0;
  if (!v || v->empty()) return kDefaultStateLimitBytes;
  auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), limit);
  if (ec != std::errc{} || end != v->data() + v->size()) return kDefaultStateLimitBytes;
  return limit;
}

Status check_geometry(const ModelConfig& c, const ModelFile& file, uint64_t state_limit) {
  const uint64_t hk = c.ssm_group_count, hv = c.ssm_time_step_rank, d = c.ssm_state_size;
  if (hk == 0 || hv % hk != 0) return invalid_data(format("GDN Hv {} not divisible by Hk {}", hv, hk));
  auto inner = mul(hv, d);
  if (!inner || *inner != c.ssm_inner_size) {
    return invalid_data(format("GDN Hv*d {} != ssm.inner_size {}", inner ? std::to_string(*inner) : "overflow",
                               c.ssm_inner_size));
  }
  // Sequences are sized from these numbers, not from any bytes present: a lying file
  // must not make a sequence outgrow memory.
  const auto need = state_bytes(c);
  const uint64_t limit = state_limit;
  if (!need || *need > limit) {
    return invalid_data(format("model needs {} bytes of state, above the limit {}",
                               need ? std::to_string(*need) : "more than 2^64", limit));
  }
  for (uint64_t j = 0; j < c.n_layers; ++j) {
    if (c.layer_kinds[j] != LayerKind::Gdn) continue;
    KS_TRY(TensorView qkv, tensor_view(file, format("blk.{}.attn_qkv.weight", j)));
    auto want = mul(2 * hk + hv, d);  // hk, hv <= hv*d, which fits
    if (!want || ne1_or_zero(qkv) != *want) {
      return invalid_data(format("blk.{}.attn_qkv ne1 {} != (2*Hk+Hv)*d = {} (Hk={}, Hv={}, d={})", j,
                                 ne1_or_zero(qkv), want ? std::to_string(*want) : "overflow", hk, hv, d));
    }
    KS_TRY(TensorView alpha, tensor_view(file, format("blk.{}.ssm_alpha.weight", j)));
    if (ne1_or_zero(alpha) != hv) {
      return invalid_data(format("blk.{}.ssm_alpha ne1 {} != Hv {}", j, ne1_or_zero(alpha), hv));
    }
    break;  // only the first Gdn layer is checked
  }
  return {};
}

}  // namespace kestrune
