// The CPU backend: every small operation on the calling thread and the model's thread
// pool, with the exact kernels (or the scalar reference) for its products. Its
// activations are host columns; each weight row is read once for all columns while
// caches and recurrent states still advance column by column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "backend/cpu/spec_window.h"
#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

struct Cpu {
  // Behind pointers so that the backend value stays movable; neither ever changes.
  std::unique_ptr<CpuSpecState> window = std::make_unique<CpuSpecState>();
  std::unique_ptr<ThreadPool> pool;  // null: the calling thread alone
  bool xquant = false;               // int8 products for quantized weights
};

// A CPU backend splitting its work across `threads` threads (the caller included).
Cpu make_cpu(size_t threads, bool xquant = false);

// The products of every column: the exact (or int8) kernels across `pool`. Also the
// host products of a device backend's fallback.
Result<Columns> host_matmul(const Matrix& m, const Columns& x, ThreadPool* pool, bool xquant);

Result<Columns> cpu_rms_norm(const Cpu& cpu, const Columns& x, std::span<const float> w, float eps, const char* op);
Result<Columns> cpu_matmul(const Cpu& cpu, const Matrix& m, const Columns& x);
Status cpu_add(const Cpu& cpu, Columns& acc, const Columns& y);
Status cpu_silu_mul(const Cpu& cpu, Columns& g, const Columns& u);
Result<Columns> cpu_attention(const Cpu& cpu, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                              KvCache& kv, const Columns& qg, const Columns& k, const Columns& v);
// Decay | strength from the products of the normed columns (also a device fallback's).
Result<Columns> host_gdn_gates(const GdnGeometry& g, const GdnWeights& w, const Columns& xn, ThreadPool* pool,
                               bool xquant);
Result<Columns> cpu_gdn_conv(const Cpu& cpu, const GdnGeometry& g, const CachedTensor& w, uint64_t nonce,
                             GdnLayerState& st, const Columns& qkv);
Result<Columns> cpu_gdn_scan(const Cpu& cpu, const GdnGeometry& g, uint64_t nonce, GdnLayerState& st,
                             const Columns& qkv, const Columns& gates);
Result<Columns> cpu_gated_norm(const Cpu& cpu, const GdnGeometry& g, std::span<const float> w, const Columns& scan,
                               const Columns& z);

}  // namespace kestrune
