// The CPU backend: every layer operation on the calling thread and the model's thread
// pool, with the exact kernels (or the scalar reference) for its products. An operation
// takes k consecutive token columns; each weight row is read once for all of them while
// caches and recurrent states still advance column by column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "backend/cpu/gdn.h"
#include "backend/cpu/matmul.h"
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

// The int8 products on `pool` (backend/cpu/xquant.h) as a layer operation's products.
ProductFn xquant_products(ThreadPool* pool);

// What the host layer operations run on: host threads, the speculative window and,
// when set, another backend's products (a device backend's fallback).
struct HostRun {
  ThreadPool* pool = nullptr;
  CpuSpecState* window = nullptr;
  ProductFn products;
  // When set, the GDN recurrence of the layer with this nonce runs here.
  std::function<Status(uint64_t nonce, const GdnLayerState& st, const GdnScanIo& io)> gdn_scan;
};
inline HostRun cpu_run(const Cpu& cpu) {
  return {cpu.pool.get(), cpu.window.get(), cpu.xquant ? xquant_products(cpu.pool.get()) : ProductFn{}, {}};
}

Status host_attn_mixer(const HostRun& run, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                       KvCache& kv, ColumnsOut xs, float* out_norm);
Status host_gdn_mixer(const HostRun& run, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce,
                      GdnLayerState& st, ColumnsOut xs, float* out_norm);
Status host_ffn_swiglu(const HostRun& run, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm);
Status host_logits_head(const HostRun& run, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits);

// Each mixer and the feed-forward block add their output into every column; with
// `out_norm` set it receives the norm of the last column's output (for the trace).
Status cpu_attn_mixer(const Cpu& cpu, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, KvCache& kv,
                      ColumnsOut xs, float* out_norm);
Status cpu_gdn_mixer(const Cpu& cpu, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                     ColumnsOut xs, float* out_norm);
Status cpu_ffn_swiglu(const Cpu& cpu, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm);

// Final norm and the streamed head product of every column into `logits`, each of one
// entry per head row; the buffers are untouched on failure.
Status cpu_logits_head(const Cpu& cpu, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits);

// One matrix-vector product across the pool.
Result<std::vector<float>> cpu_project(const Cpu& cpu, const Matrix& m, std::span<const float> x);

}  // namespace kestrune
