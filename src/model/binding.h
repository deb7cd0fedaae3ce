// How a layer finds its tensors. The cached route multiplies by the dense copy when the
// cache holds one and streams otherwise; the streamed route always streams matrices.
#pragma once

#include <span>
#include <string>

#include "backend/cpu/primitives.h"
#include "backend/cpu/thread_pool.h"
#include "common/error.h"
#include "weights/model_file.h"
#include "weights/tensor_cache.h"

namespace kestrune {

enum class Route { Cached, Streamed };

// Where the model keeps its weights; a non-owning view for the layer binders.
struct WeightSource {
  const ModelFile* file = nullptr;
  const TensorCache* cache = nullptr;
  ThreadPool* pool = nullptr;  // splits the layers' products; null: the calling thread alone
};

Result<Matrix> bind_matrix(const WeightSource& w, const std::string& name, Route route);
// A matrix the layers always take dense from the cache (the GDN decay/strength inputs).
Result<Matrix> bind_cached_matrix(const WeightSource& w, const std::string& name);
// A small tensor needed whole: its data in the cache.
Result<std::span<const float>> bind_vector(const WeightSource& w, const std::string& name);

}  // namespace kestrune
