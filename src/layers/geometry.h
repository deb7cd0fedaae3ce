// The per-kind views of the hyper-parameters that a layer operation needs.
#pragma once

#include <cstdint>

#include "config/config.h"

namespace kestrune {

struct AttentionGeometry {
  uint64_t head_dim = 0;
  uint64_t n_head = 0;
  uint64_t n_kv = 0;
  uint64_t rope_dim = 0;
  float rope_base = 0;
  float eps = 0;

  uint64_t kv_width() const { return n_kv * head_dim; }
};

struct GdnGeometry {
  uint64_t d = 0;            // head width, keys and values
  uint64_t hk = 0;           // key/query heads
  uint64_t hv = 0;           // value heads
  uint64_t conv_kernel = 0;  // K
  float eps = 0;

  uint64_t qk() const { return hk * d; }
  uint64_t inner() const { return hv * d; }
  uint64_t channels() const { return (2 * hk + hv) * d; }
};

inline AttentionGeometry attention_geometry(const ModelConfig& c) {
  return {c.key_length, c.head_count, c.head_count_kv, c.rope_dimension_count, c.rope_freq_base, c.rms_eps};
}

inline GdnGeometry gdn_geometry(const ModelConfig& c) {
  return {c.ssm_state_size, c.ssm_group_count, c.ssm_time_step_rank, c.ssm_conv_kernel, c.rms_eps};
}

}  // namespace kestrune
