// Shared by the GPU test runner and the GPU benchmark: device detection, random
// quantized rows, device copies of host data, and model loading on a chosen backend.
#pragma once

#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backend/cuda/runtime.h"
#include "model/model.h"
#include "quant/types.h"
#include "weights/model_file.h"

namespace kestrune::gpu {

// The visible device's name, or nothing (with the reason in `why`).
inline bool device_visible(std::string& what) {
  int n = 0;
  const cudaError_t e = cudaGetDeviceCount(&n);
  if (e != cudaSuccess || n == 0) {
    what = e != cudaSuccess ? cudaGetErrorString(e) : "no devices";
    return false;
  }
  cudaDeviceProp p{};
  cudaGetDeviceProperties(&p, 0);
  what = p.name;
  return true;
}

// Random blocks of `type` with finite, modest block scales.
inline std::vector<uint8_t> random_rows(uint32_t type, uint64_t cols, uint64_t rows, std::mt19937& rng) {
  const BlockFormat* f = block_format(type);
  std::vector<uint8_t> data(cols / f->values * rows * f->bytes);
  for (auto& v : data) v = uint8_t(rng());
  const size_t at = type == kQ6_K ? 208 : 0;
  for (size_t k = 0; k < data.size(); k += f->bytes) {
    data[k + at + 1] = uint8_t(0x1c + rng() % 8);
    if (type == kQ4_K || type == kQ5_K) data[k + 3] = uint8_t(0x1c + rng() % 8);
  }
  return data;
}

// Device memory freed at scope end.
struct DevMem {
  void* p = nullptr;
  explicit DevMem(size_t bytes) {
    if (cudaMalloc(&p, bytes ? bytes : 1) != cudaSuccess) {
      std::fprintf(stderr, "cudaMalloc of %zu bytes failed\n", bytes);
      std::exit(2);
    }
  }
  DevMem(const void* host, size_t bytes) : DevMem(bytes) { cudaMemcpy(p, host, bytes, cudaMemcpyHostToDevice); }
  ~DevMem() { cudaFree(p); }
  DevMem(const DevMem&) = delete;
  DevMem& operator=(const DevMem&) = delete;
  float* f() const { return static_cast<float*>(p); }
};

inline std::vector<float> download(const float* d, size_t n) {
  std::vector<float> h(n);
  cudaMemcpy(h.data(), d, n * 4, cudaMemcpyDeviceToHost);
  return h;
}

// Loads `path` with lazy weights on `backend`, its load lines silenced.
inline std::unique_ptr<Model> load_on(const std::string& path, const char* backend) {
  setenv("KESTRUNE_WEIGHTS", "lazy", 1);
  setenv("KESTRUNE_BACKEND", backend, 1);
  std::fflush(stderr);
  auto m = load_model(path);
  if (!m.ok()) {
    std::fprintf(stderr, "load %s on %s: %s\n", path.c_str(), backend, m.error().message.c_str());
    return nullptr;
  }
  return std::move(m).value();
}

// Loads `path` on the CPU backend from a copy of its bytes kept for the whole run, for
// checks that swap a device backend in: a model loaded from its file drops the bytes of
// the tensors the CPU reads only through their packed copies, and the device uploads
// those bytes.
inline std::unique_ptr<Model> load_kept_copy(const std::string& path) {
  static std::deque<std::string> kept;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return nullptr;
  }
  const std::string& bytes = kept.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  setenv("KESTRUNE_WEIGHTS", "lazy", 1);
  setenv("KESTRUNE_BACKEND", "cpu", 1);
  std::fflush(stderr);
  auto file = model_file_from_memory(bytes);
  auto m = file.ok() ? load_model(std::move(file).value()) : Result<std::unique_ptr<Model>>(file.error());
  if (!m.ok()) {
    std::fprintf(stderr, "load %s: %s\n", path.c_str(), m.error().message.c_str());
    return nullptr;
  }
  return std::move(m).value();
}

}  // namespace kestrune::gpu
