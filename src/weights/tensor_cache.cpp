#include "weights/tensor_cache.h"

#include "common/diag.h"
#include "common/format.h"
#include "quant/types.h"

namespace kestrune {

const char* weights_mode_label(WeightsMode mode) {
  return mode == WeightsMode::Eager ? "eager" : "lazy (streaming)";
}

WeightsMode choose_weights_mode(const RuntimeOptions& options) {
  const bool int8 = options.cpu_xquant && (!options.backend || *options.backend == "cpu");
  return options.weights == "eager" && !int8 ? WeightsMode::Eager : WeightsMode::Lazy;
}

Result<TensorCache> build_tensor_cache(const ModelFile& file, WeightsMode mode) {
  TensorCache cache;
  for (const auto& t : file.gguf.tensors) {
    // Nothing can multiply or embed with a tensor that has no row length.
    if (t.dims.empty() || t.dims[0] == 0) {
      return invalid_data(format("tensor {}: dims {} have no row length", t.name, list_str(t.dims)));
    }
    auto count = element_count(t);
    if (!count) return invalid_data(format("tensor {}: element count of dims {} overflows", t.name, list_str(t.dims)));
    if (mode == WeightsMode::Lazy && *count > kLazyCacheMaxElements) continue;
    if (cache.count(t.name)) continue;  // lookups see the first tensor of a name
    KS_TRY(TensorView view, tensor_view(file, t.name));
    // tensor_view bounded the bytes by the file size, so this allocation is backed.
    CachedTensor ct;
    ct.dims = t.dims;
    ct.data.resize(static_cast<size_t>(*count));
    const uint64_t ne0 = t.dims[0];
    const uint64_t rows = *count / ne0;
    for (uint64_t r = 0; r < rows; ++r) {
      KS_CHECK(dequant_row_into(view, r, ct.data.data() + r * ne0));
    }
    cache.emplace(t.name, std::move(ct));
  }
  return cache;
}

Result<const CachedTensor*> cached_tensor(const TensorCache& cache, const std::string& name) {
  auto it = cache.find(name);
  if (it == cache.end()) return invalid_data(format("tensor {} not cached (large tensor in lazy mode?)", name));
  return &it->second;
}

LogitsHead choose_logits_head(const GgufFile& gguf) {
  if (find_tensor(gguf, "output.weight")) return {"output.weight", "untied (output.weight)"};
  return {"token_embd.weight", "tied (token_embd)"};
}

Result<LoadedWeights> load_weights(const ModelFile& file, WeightsMode mode) {
  KS_TRY(TensorCache cache, build_tensor_cache(file, mode));
  LogitsHead head = choose_logits_head(file.gguf);
  diag(format("# logits head: {}\n", head.label));
  diag(format("# weights mode: {}\n", weights_mode_label(mode)));
  return LoadedWeights{mode, std::move(cache), std::move(head)};
}

}  // namespace kestrune
