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

// Activation columns owned by the backend: k columns of n floats, held on the host
// (the CPU backend, and the CUDA backend after an operation it ran on the host) or on
// the device. An operation takes its inputs wherever they are held; its output is
// held where it ran.
struct DeviceColumns;
struct Activations {
  size_t k = 0;
  size_t n = 0;                            // floats per column (of the first, on the host)
  Columns host;                            // held on the host: one vector per column
  std::shared_ptr<DeviceColumns> device;   // held on the device: column j at j * n
};

// The host columns as the backend's activations (the CPU keeps them as they are, the
// CUDA backend copies them to the device in one transfer), and back.
Result<Activations> upload(const Backend& b, Columns xs);
Result<Columns> download(const Backend& b, const Activations& a);
// The same for activations no longer needed: host columns move out without a copy.
Result<Columns> download(const Backend& b, Activations&& a);
// Column j alone.
Result<std::vector<float>> download_column(const Backend& b, const Activations& a, size_t j);

// Columns [first, first + count) of `a`, held where `a` is.
Result<Activations> slice(const Backend& b, const Activations& a, size_t first, size_t count);
// The columns of every part in order, in one set of activations.
Result<Activations> concat(const Backend& b, std::span<const Activations> parts);

// The small operations the layers are written over. Each takes any number of columns
// and computes every column's elements in the reference order. `op` names the layer in
// messages.
Result<Activations> rms_norm(const Backend& b, const Activations& x, std::span<const float> w, float eps,
                             const char* op);
// m · x for every column.
Result<Activations> matmul(const Backend& b, const Matrix& m, const Activations& x);
// m0 · x and m1 · x, both read with one pass over x where the backend can.
Result<std::pair<Activations, Activations>> matmul_pair(const Backend& b, const Matrix& m0, const Matrix& m1,
                                                       const Activations& x);
// acc += m · x.
Status matmul_add(const Backend& b, const Matrix& m, const Activations& x, Activations& acc);
// acc += y.
Status add(const Backend& b, Activations& acc, const Activations& y);
// g = silu(g) * u.
Status silu_mul(const Backend& b, Activations& g, const Activations& u);

// Query preparation (heads split from their gates, per-head norm, rotation), the
// key/value append and gated softmax attention over the cache: column j is the token at
// pos + j and appends before column j + 1 attends. Returns n_head * head_dim per column.
Result<Activations> attention(const Backend& b, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                              uint64_t nonce, KvCache& kv, const Activations& qg, const Activations& k,
                              const Activations& v);
// Decay and strength of every value head from the normed input: 2 * hv per column.
Result<Activations> gdn_gates(const Backend& b, const GdnGeometry& g, const GdnWeights& w, const Activations& xn);
// The causal convolution (advancing the layer's conv history column by column), SiLU
// and the scaled q/k head norms: q | k | v per column.
Result<Activations> gdn_conv(const Backend& b, const GdnGeometry& g, const CachedTensor& w, uint64_t nonce,
                             GdnLayerState& st, const Activations& qkv);
// The delta-rule recurrence over the columns in order: hv * d outputs per column. While
// a speculative window is open the backend keeps what it needs to roll both states back
// to after any column.
Result<Activations> gdn_scan(const Backend& b, const GdnGeometry& g, uint64_t nonce, GdnLayerState& st,
                             const Activations& qkv, const Activations& gates);
// silu(z) times the per-head RMS-normed scan output times w.
Result<Activations> gated_norm(const Backend& b, const GdnGeometry& g, std::span<const float> w,
                               const Activations& scan, const Activations& z);

// Keeps the backend's data of these layer nonces (device caches and states) until the
// returned token is dropped; the CPU keeps nothing and returns null.
std::shared_ptr<const void> hold_layers(const Backend& b, std::vector<uint64_t> nonces);

// Whether the backend's products read quantized weights from packed copies made at
// load: the CPU's exact SIMD products do; the reference, the int8 products and the
// device read the file's own blocks.
bool wants_packed_weights(const Backend& b, const RuntimeOptions& options);

// Whether the backend's products should read a weight's own file blocks rather than a
// dense host copy of it: a device backend uploads the blocks, which a dense copy
// would keep on the host.
bool wants_file_blocks(const Backend& b);

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
