// The scalar reference backend: each layer operation computed on the calling thread
// with the primitives; multi-column forms run the single column in column order.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "backend/cpu/ffn.h"
#include "backend/cpu/spec_window.h"
#include "common/error.h"
#include "model/attn.h"
#include "model/gdn.h"
#include "model/state.h"

namespace kestrune {

struct Cpu {
  // Behind a pointer so that the backend value stays movable; the model never
  // changes which record it points to.
  std::unique_ptr<CpuSpecState> window = std::make_unique<CpuSpecState>();
  // The model's pool for the head products (null: the calling thread alone).
  ThreadPool* pool = nullptr;
};

Status cpu_attn_mixer(const Cpu& cpu, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                      std::span<float> x);
Status cpu_attn_mixer2(const Cpu& cpu, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                       std::span<float> x0, std::span<float> x1);
Status cpu_attn_mixer3(const Cpu& cpu, const AttentionGeometry& g, const AttnTensors& t, uint32_t pos, KvCache& kv,
                       std::span<float> x0, std::span<float> x1, std::span<float> x2);

Status cpu_gdn_mixer(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                     std::span<float> x);
Status cpu_gdn_mixer2(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                      std::span<float> x0, std::span<float> x1);
Status cpu_gdn_mixer3(const Cpu& cpu, const GdnGeometry& g, const GdnTensors& t, uint64_t nonce, GdnLayerState& st,
                      std::span<float> x0, std::span<float> x1, std::span<float> x2);

Status cpu_ffn_swiglu(const Cpu& cpu, const FfnTensors& t, float eps, std::span<float> x);
Status cpu_ffn_swiglu2(const Cpu& cpu, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1);
Status cpu_ffn_swiglu3(const Cpu& cpu, const FfnTensors& t, float eps, std::span<float> x0, std::span<float> x1,
                       std::span<float> x2);

// Final norm and the streamed head product into `logits`, which must have one entry
// per head row; the buffer is untouched on failure.
Status cpu_logits_head(const Cpu& cpu, std::span<const float> x, std::span<const float> w_norm, float eps,
                       const TensorView& head, std::span<float> logits);
Status cpu_logits_head2(const Cpu& cpu, std::span<const float> x0, std::span<const float> x1,
                        std::span<const float> w_norm, float eps, const TensorView& head, std::span<float> l0,
                        std::span<float> l1);
Status cpu_logits_head3(const Cpu& cpu, std::span<const float> x0, std::span<const float> x1,
                        std::span<const float> x2, std::span<const float> w_norm, float eps, const TensorView& head,
                        std::span<float> l0, std::span<float> l1, std::span<float> l2);

}  // namespace kestrune
