// Load-time dense f32 copies of tensors (all of them in eager mode, the small ones in
// lazy mode) and the choice of the logits head.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "common/runtime_options.h"
#include "weights/model_file.h"

namespace kestrune {

struct CachedTensor {
  std::vector<uint64_t> dims;
  std::vector<float> data;  // every element in storage order
};

using TensorCache = std::unordered_map<std::string, CachedTensor>;

enum class WeightsMode { Eager, Lazy };

inline constexpr uint64_t kLazyCacheMaxElements = 524288;    // 2^19

const char* weights_mode_label(WeightsMode mode);

// Streamed (lazy) for every file on every backend: the packed exact products beat f32
// copies in both speed and memory. KESTRUNE_WEIGHTS=eager asks for the copies, except
// with the CPU's int8 products, which read the quantized blocks themselves.
WeightsMode choose_weights_mode(const RuntimeOptions& options);

Result<TensorCache> build_tensor_cache(const ModelFile& file, WeightsMode mode);

Result<const CachedTensor*> cached_tensor(const TensorCache& cache, const std::string& name);

struct LogitsHead {
  std::string tensor_name;  // "output.weight" or "token_embd.weight"
  const char* label;        // "untied (output.weight)" or "tied (token_embd)"
};
LogitsHead choose_logits_head(const GgufFile& gguf);

// What the model load keeps from the weight store.
struct LoadedWeights {
  WeightsMode mode;
  TensorCache cache;
  LogitsHead head;
};

// Mode choice, cache build and head choice, printing "# logits head: ..." and
// "# weights mode: ..." on standard error.
Result<LoadedWeights> load_weights(const ModelFile& file, WeightsMode mode);

}  // namespace kestrune
