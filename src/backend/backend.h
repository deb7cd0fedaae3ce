// The seam between the model and the hardware: the layer operations, chosen once at
// load from KESTRUNE_BACKEND. Every operation dispatches on the variant's tag and takes
// k consecutive token columns (one while decoding, two or three while verifying drafts,
// up to a prefill chunk while reading a prompt).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "backend/cpu/cpu.h"
#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "common/runtime_options.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"
#include "weights/model_file.h"
#include "weights/packed_rows.h"

namespace kestrune {

using Backend = std::variant<Cpu, Cuda>;

// Unset or "cpu" selects the CPU backend, "cuda" the CUDA backend (no device call yet; a
// build without CUDA refuses), each printing its banner and splitting host work across
// `threads` threads; anything else fails.
Result<Backend> select_backend(const RuntimeOptions& options, size_t threads = 1);
// The same with the device calls of `api` (tests run the backend over fakes).
Result<Backend> select_backend(const RuntimeOptions& options, size_t threads, const DeviceApi& api, bool cuda_built);

// The host threads the backend splits its work across (the caller included).
size_t backend_threads(const Backend& b);

// Process-wide layer and state identifiers: 1, 2, 3, ... never reused.
uint64_t next_nonce();

// Column j of `xs` is the token at pos + j; its key and value join `kv` before column
// j + 1 attends. Adds the mixer's output into every column; `out_norm`, when set,
// receives the norm of the last column's output.
Status attn_mixer(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos, uint64_t nonce,
                  KvCache& kv, ColumnsOut xs, float* out_norm = nullptr);

// Advances the layer's state through the columns in order. While a speculative window
// is open the backend keeps what it needs to roll the state back to after any column.
Status gdn_mixer(const Backend& b, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce, GdnLayerState& st,
                 ColumnsOut xs, float* out_norm = nullptr);

Status ffn_swiglu(const Backend& b, const FfnWeights& w, float eps, ColumnsOut xs, float* out_norm = nullptr);

// Final norm and head product of every column into its logits buffer (one entry per
// head row).
Status logits_head(const Backend& b, const HeadWeights& w, float eps, ColumnsIn xs, ColumnsOut logits);

// Whether the backend can keep a token's residual columns between operations (the CUDA
// token residency). columns_begin puts 1 to 3 columns there (the CPU keeps nothing);
// the layer operations then update them in place and logits_head ends the residency.
// columns_read copies the kept columns into xs without ending it; columns_drop ends it
// without a copy (after a failed pass).
bool keeps_columns(const Backend& b);
Status columns_begin(const Backend& b, ColumnsIn xs);
Status columns_read(const Backend& b, ColumnsOut xs);
void columns_drop(const Backend& b);

// A plain matrix-vector product (the cached-route head, the draft head's projections).
Result<std::vector<float>> project(const Backend& b, const Matrix& m, std::span<const float> x);

// Keeps the backend's data of these layer nonces (device caches and states) until the
// returned token is dropped; the CPU keeps nothing and returns null.
std::shared_ptr<const void> hold_layers(const Backend& b, std::vector<uint64_t> nonces);

// Whether the backend's products read quantized weights from packed copies made at
// load: the CPU's exact SIMD products do; the reference, the int8 products and the
// device read the file's own blocks.
bool wants_packed_weights(const Backend& b, const RuntimeOptions& options);

// A weight copy in the layout the backend's products read, made once at bind time:
// `rows` points into storage that `owner` keeps alive. Null rows when the backend has
// no layout for the tensor (or could not make one): its products read the file's blocks.
struct PackedWeight {
  const PackedRows* rows = nullptr;
  std::shared_ptr<const void> owner;
};
// The backend's packed copy of `view`. With `release`, the file pages the copy replaces
// are dropped as they are consumed; only for tensors that nothing reads but the copy.
PackedWeight pack_weight(const Backend& b, const TensorView& view, bool release);

// Row `r` of a bound weight as floats: from its packed copy when it carries one (the
// file bytes of a packed tensor may have been dropped), else from the file's blocks.
Result<std::vector<float>> weight_row(const TensorView& view, uint64_t r);

// The cores this process may run on: the host threads a load uses unless told otherwise.
size_t host_cores();

// Opens the speculative window; the value says whether the backend keeps speculative
// state (both do).
Result<bool> spec_arm(const Backend& b);
// Closes it keeping the state after `accepted` verified columns (0, 1 or 2).
Status spec_resolve(const Backend& b, unsigned accepted);

}  // namespace kestrune
