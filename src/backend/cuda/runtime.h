// The few CUDA runtime calls the backend makes, behind a table of plain functions: the
// real runtime in a CUDA build, a refusing stand-in otherwise, and host-memory fakes in
// the tests. Statuses are the runtime's error codes (0 = success).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "backend/cuda/dispatch.h"
#include "common/error.h"

namespace kestrune {

enum class CopyKind : uint8_t { HostToDevice, DeviceToHost, DeviceToDevice };

// Operands of one kernel launch; each kernel reads the fields it needs.
struct KernelArgs {
  const void* w0 = nullptr;
  const void* w1 = nullptr;
  const float* x = nullptr;  // column 0 of the launch's input
  float* y0 = nullptr;       // column 0 of the launch's output
  float* y1 = nullptr;       // the second matrix's output (dual kernels)
  int8_t* xq = nullptr;      // quantized activations
  float* xs = nullptr;       // their block scales
  const float* w = nullptr;  // norm weights (rmsnorm)
  int cols = 0;
  int rows = 0;
  int rows1 = 0;
  int n = 0;  // element count of the element-wise kernels
  float eps = 0;
  const void* ext = nullptr;  // the operand record of a mixer's own kernels
};

struct DeviceApi {
  int (*malloc_device)(void** p, size_t bytes);
  int (*free_device)(void* p);
  int (*malloc_pinned)(void** p, size_t bytes);
  int (*free_pinned)(void* p);
  int (*copy)(void* dst, const void* src, size_t bytes, CopyKind kind);
  // Issues one kernel and returns the launch status (cudaGetLastError right after).
  int (*launch)(const Launch& l, const KernelArgs& a);
  const char* (*error_string)(int status);
  // Waits for every launched kernel and returns the first fault; null where launches
  // are not waited for (the default: faults surface at the next blocking copy).
  int (*synchronize)();
};

// The CUDA runtime when this build has it; otherwise a table whose every call fails.
// With `sync_launches` (KESTRUNE_CUDA_SYNC) every launch is waited for and checked.
const DeviceApi& cuda_runtime_api(bool sync_launches = false);
bool cuda_runtime_built();

// "cuda: {label}: {text} (code {status})".
std::string cuda_error_message(std::string_view label, std::string_view text, int status);
// Success for status 0, else the error above with the runtime's text.
Status check_cuda(const DeviceApi& api, int status, std::string_view label);

// Issues `l` and checks the launch status under `label`. Where the table synchronizes,
// the launch is also waited for and a fault in the kernel is reported under `label`
// followed by the kernel's name.
Status launch_checked(const DeviceApi& api, const Launch& l, const KernelArgs& a, std::string_view label);

// Device or pinned host memory that only grows; freed with its owner.
struct Buffer {
  enum Space : uint8_t { Device, Pinned };
  const DeviceApi* api = nullptr;
  Space space = Device;
  void* ptr = nullptr;
  size_t capacity = 0;

  Buffer() = default;
  Buffer(const DeviceApi* a, Space s) : api(a), space(s) {}
  Buffer(Buffer&& o) noexcept { *this = std::move(o); }
  Buffer& operator=(Buffer&& o) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }
  void release();

  float* floats() const { return static_cast<float*>(ptr); }
};

// Grows `b` to at least `bytes` (device: cudaMalloc, pinned: cudaMallocHost). The old
// allocation is freed only after the new one succeeded; on failure `b` is unchanged.
Status ensure_device(Buffer& b, size_t bytes);
Status ensure_pinned(Buffer& b, size_t bytes);
// Grows to max(bytes, 2 × capacity) keeping the old contents; on failure `b` is unchanged.
Status grow_preserving(Buffer& b, size_t bytes);

// A blocking copy checked under `label`.
Status copy_checked(const DeviceApi& api, void* dst, const void* src, size_t bytes, CopyKind kind,
                    std::string_view label);

}  // namespace kestrune
