#include "model/binding.h"

namespace kestrune {

Result<Matrix> bind_matrix(const WeightSource& w, const std::string& name, Route route) {
  if (route == Route::Cached) {
    auto it = w.cache->find(name);
    if (it != w.cache->end()) return Matrix{&it->second};
  }
  KS_TRY(TensorView view, tensor_view(*w.file, name));
  return Matrix{view};
}

Result<Matrix> bind_cached_matrix(const WeightSource& w, const std::string& name) {
  KS_TRY(const CachedTensor* t, cached_tensor(*w.cache, name));
  return Matrix{t};
}

Result<std::span<const float>> bind_vector(const WeightSource& w, const std::string& name) {
  KS_TRY(const CachedTensor* t, cached_tensor(*w.cache, name));
  return std::span<const float>(t->data);
}

}  // namespace kestrune
