// The mapped model file: tensors found by name, bounded inside the mapping, and rows
// dequantized on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "gguf/gguf.h"
#include "weights/packed_rows.h"

namespace kestrune {

// The whole file's bytes, read into memory the engine owns; freed when the last owner goes.
struct Mapping {
  const uint8_t* base = nullptr;
  uint64_t size = 0;
  bool owned = true;  // false for caller-owned memory (fuzzing, tests)
  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();
};

struct ModelFile {
  GgufFile gguf;
  std::shared_ptr<const Mapping> map;
  // First tensor of each name, in file order.
  std::unordered_map<std::string_view, size_t> tensor_index;

  uint64_t file_size() const { return map ? map->size : 0; }
};

struct TensorView {
  const TensorInfo* info = nullptr;  // points into ModelFile::gguf
  const uint8_t* data = nullptr;     // first byte inside the mapping
  uint64_t size = 0;                 // byte length
  // The same rows rewritten for the SIMD products, when the model packed them; `data`
  // stays valid for every other reader.
  const PackedRows* packed = nullptr;

  const std::string& name() const { return info->name; }
  uint64_t ne0() const { return info->dims.empty() ? 0 : info->dims[0]; }
  // Rows are the flattening of every dim after the first (1 for fewer than two dims).
  uint64_t rows() const;
};

Result<std::unique_ptr<ModelFile>> open_model_file(const std::string& path);
// A model file over bytes the caller keeps alive for the ModelFile's life.
Result<std::unique_ptr<ModelFile>> model_file_from_memory(std::string_view bytes);

Result<TensorView> tensor_view(const ModelFile& file, std::string_view name);
// Row r as ne0 floats.
Result<std::vector<float>> dequant_row(const TensorView& view, uint64_t r);
// Row r into `out`, which holds at least ne0 floats.
Status dequant_row_into(const TensorView& view, uint64_t r, float* out);
// The stored bytes of row r (checked against the view as dequant_row_into checks it).
Result<const uint8_t*> row_data(const TensorView& view, uint64_t r);

// Element count: the product of all dims (1 with none); absent on overflow.
std::optional<uint64_t> element_count(const TensorInfo& t);

}  // namespace kestrune
