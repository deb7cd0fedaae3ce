// Builds GGUF bytes by hand for tests that need exact, possibly malformed, headers.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

struct GgufBuilder {
  std::string bytes;

  GgufBuilder& raw(const void* p, size_t n) {
    bytes.append(static_cast<const char*>(p), n);
    return *this;
  }
  template <class T>
  GgufBuilder& put(T v) {
    return raw(&v, sizeof v);
  }
  GgufBuilder& str(std::string_view s) {
    put<uint64_t>(s.size());
    return raw(s.data(), s.size());
  }
  GgufBuilder& header(uint64_t n_tensors, uint64_t n_kv, uint32_t version = 3) {
    raw("GGUF", 4);
    put<uint32_t>(version);
    put<uint64_t>(n_tensors);
    return put<uint64_t>(n_kv);
  }
  GgufBuilder& kv_u32(std::string_view key, uint32_t v) { return str(key).put<uint32_t>(4).put<uint32_t>(v); }
  GgufBuilder& kv_i32(std::string_view key, int32_t v) { return str(key).put<uint32_t>(5).put<int32_t>(v); }
  GgufBuilder& kv_u64(std::string_view key, uint64_t v) { return str(key).put<uint32_t>(10).put<uint64_t>(v); }
  GgufBuilder& kv_f32(std::string_view key, float v) { return str(key).put<uint32_t>(6).put<float>(v); }
  GgufBuilder& kv_f64(std::string_view key, double v) { return str(key).put<uint32_t>(12).put<double>(v); }
  GgufBuilder& kv_str(std::string_view key, std::string_view v) { return str(key).put<uint32_t>(8).str(v); }
  GgufBuilder& kv_bool(std::string_view key, bool v) { return str(key).put<uint32_t>(7).put<uint8_t>(v ? 1 : 0); }
  GgufBuilder& kv_arr_header(std::string_view key, uint32_t elem, uint64_t len) {
    return str(key).put<uint32_t>(9).put<uint32_t>(elem).put<uint64_t>(len);
  }
  GgufBuilder& kv_str_arr(std::string_view key, const std::vector<std::string>& v) {
    kv_arr_header(key, 8, v.size());
    for (const auto& s : v) str(s);
    return *this;
  }
  GgufBuilder& tensor(std::string_view name, const std::vector<uint64_t>& dims, uint32_t type, uint64_t offset) {
    str(name).put<uint32_t>(static_cast<uint32_t>(dims.size()));
    for (auto d : dims) put<uint64_t>(d);
    return put<uint32_t>(type).put<uint64_t>(offset);
  }
  GgufBuilder& pad_to(uint64_t alignment) {
    while (bytes.size() % alignment) bytes.push_back('\0');
    return *this;
  }
  void write(const std::string& path) const {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
};

// A unique temporary path under the test's temp directory.
std::string temp_path(const std::string& stem);

}  // namespace kestrune::testing
