// Feeds arbitrary bytes through the header parser, every tensor lookup and a few row
// decodes of each tensor: none may crash or read outside the input.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "weights/model_file.h"
#include "weights/tensor_cache.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto file = model_file_from_memory(bytes);
  if (!file.ok()) return 0;
  const ModelFile& f = **file;
  std::vector<float> row;
  for (const auto& t : f.gguf.tensors) {
    auto view = tensor_view(f, t.name);
    if (!view.ok()) continue;
    const uint64_t rows = view->rows();
    for (uint64_t r : {uint64_t(0), rows / 2, rows ? rows - 1 : 0, rows}) {
      auto values = dequant_row(*view, r);
      if (values.ok() && !values->empty()) row = std::move(values.value());
    }
  }
  // The cache build bounds every allocation by the bytes actually present.
  if (f.file_size() < (1u << 20)) {
    auto cache = build_tensor_cache(f, WeightsMode::Eager);
    (void)cache;
  }
  return 0;
}
