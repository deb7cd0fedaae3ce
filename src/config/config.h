// The qwen35 hyper-parameters, the layer schedule and the load-time geometry checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "gguf/gguf.h"
#include "weights/model_file.h"

namespace kestrune {

enum class LayerKind { Gdn, Attention };
const char* layer_kind_name(LayerKind kind);

struct ModelConfig {
  uint64_t n_layers = 0;
  uint64_t nextn_predict_layers = 0;
  std::vector<LayerKind> layer_kinds;
  uint64_t full_attention_interval = 0;
  uint64_t feed_forward_length = 0;
  uint64_t embedding_length = 0;
  uint64_t context_length = 0;
  uint64_t vocab_rows = 0;
  uint64_t ssm_conv_kernel = 0;
  uint64_t ssm_state_size = 0;     // d
  uint64_t ssm_group_count = 0;    // Hk
  uint64_t ssm_time_step_rank = 0; // Hv
  uint64_t ssm_inner_size = 0;
  uint64_t head_count = 0;
  uint64_t head_count_kv = 0;
  uint64_t key_length = 0;
  uint64_t value_length = 0;
  uint64_t rope_dimension_count = 0;
  float rope_freq_base = 0;
  float rms_eps = 0;
};

// Checks "general.architecture"; on success prints "# arch: Qwen35 / TextAutoregressive".
Status arch_check(const GgufFile& file);
// Prints the nextn line when the file carries draft layers.
Result<ModelConfig> config_from_gguf(const GgufFile& file);
// GDN divisibility, inner size, the state budget, and the first Gdn layer's attn_qkv /
// ssm_alpha shapes.
Status check_geometry(const ModelConfig& config, const ModelFile& file, uint64_t state_limit);

// Bytes a fresh sequence holds (every Gdn layer's conv and recurrent state, one position
// of every attention layer's keys and values) plus one token's per-head working
// vectors: what the metadata alone sizes, beyond the tensors' bytes. Absent on overflow.
std::optional<uint64_t> state_bytes(const ModelConfig& config);
inline constexpr uint64_t kDefaultStateLimitBytes = uint64_t{16} << 30;
// A KESTRUNE_MAX_STATE_BYTES value when it is a decimal number, else the default.
uint64_t state_limit_bytes(const std::optional<std::string>& value);

}  // namespace kestrune
