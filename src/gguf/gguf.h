// The GGUF container: header, metadata key/values and tensor records. Tensor data is
// never read here; the weight store maps it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.h"

namespace kestrune {

namespace meta {
struct UInt { uint64_t v; };
struct Int { int64_t v; };
struct F32Bits { uint32_t bits; };
struct F64Bits { uint64_t bits; };
struct Bool { bool v; };
struct Str { std::string v; };
struct Arr { uint8_t elem; uint64_t len; };  // read without retention
struct ArrStr { std::vector<std::string> v; };
struct ArrInt { std::vector<uint64_t> v; };
}  // namespace meta

using MetaValue = std::variant<meta::UInt, meta::Int, meta::F32Bits, meta::F64Bits, meta::Bool,
                               meta::Str, meta::Arr, meta::ArrStr, meta::ArrInt>;

struct MetaEntry {
  std::string key;
  MetaValue value;
};

struct TensorInfo {
  std::string name;
  std::vector<uint64_t> dims;  // dims[0] = ne0, the row length
  uint32_t type = 0;           // raw element type id
  uint64_t offset = 0;         // relative to GgufFile::data_offset
};

struct GgufFile {
  uint32_t version = 0;
  std::vector<MetaEntry> metadata;
  std::vector<TensorInfo> tensors;
  uint64_t alignment = 32;
  uint64_t data_offset = 0;
};

// Parses the header of the file at `path`. Every array is retained.
Result<GgufFile> open_gguf(const std::string& path);
// Parses a header held in memory (the same rules; used by fuzzing and tests).
Result<GgufFile> parse_gguf(std::string_view bytes);

// "Some(UInt(32))", "None", "Some(Str(\"x\"))", ... as used in messages.
std::string render_meta(const MetaValue* value);
std::string render_value(const MetaValue& value);
// A string between double quotes with backslash escapes.
std::string quoted(std::string_view s);

const MetaValue* meta_find(const GgufFile& file, std::string_view key);
Result<std::string> meta_str(const GgufFile& file, std::string_view key);
Result<uint64_t> meta_uint(const GgufFile& file, std::string_view key);
Result<float> meta_f32(const GgufFile& file, std::string_view key);
Result<const std::vector<std::string>*> meta_str_array(const GgufFile& file, std::string_view key);
std::optional<uint64_t> meta_uint_opt(const GgufFile& file, std::string_view key);

const TensorInfo* find_tensor(const GgufFile& file, std::string_view name);

}  // namespace kestrune
