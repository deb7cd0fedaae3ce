// The CUDA vocabulary of the kernel files, mapped onto host constructs, so that the same
// sources compile with the host compiler and run on the block emulator: every CUDA thread
// is a fiber, blocks run one after another, shared memory is one area per block.
// Included (as <cuda_runtime.h>) before the kernel sources, ahead of any project header.
#pragma once

#include <math.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

struct uint3 {
  unsigned x, y, z;
};

struct dim3 {
  unsigned x = 1, y = 1, z = 1;
  constexpr dim3(unsigned x_ = 1, unsigned y_ = 1, unsigned z_ = 1) : x(x_), y(y_), z(z_) {}
};

enum cudaError_t : int {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorLaunchFailure = 719,
};

enum cudaMemcpyKind : int {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
};

namespace kestrune::emu {

// Records a fault of the running kernel; the launch fails once the grid is done.
void fault(const char* what, const void* at = nullptr);
void check_aligned(const void* p, size_t align, const char* what);

const uint3& thread_idx();
const uint3& block_idx();
const uint3& block_dim();
const uint3& grid_dim();
void barrier();
// A warp exchange of 32-bit values: mode 0 = down by `arg`, 1 = xor with `arg`.
uint32_t shuffle(unsigned mask, uint32_t bits, int mode, unsigned arg, int width);
unsigned char* dynamic_shared(size_t& bytes);

struct Config {
  const char* name;
  dim3 grid;
  dim3 block;
  size_t shared = 0;
  Config(const char* n, dim3 g, dim3 b, size_t s = 0) : name(n), grid(g), block(b), shared(s) {}
  template <class... A>
  auto operator()(A&&... a) const;
};

template <class... A>
struct Bound {
  Config config;
  std::tuple<A...> args;
};

template <class... A>
auto Config::operator()(A&&... a) const {
  return Bound<std::decay_t<A>...>{*this, std::tuple<std::decay_t<A>...>(std::forward<A>(a)...)};
}

// Runs body(ctx) once per thread of the grid; sets the launch status.
void run_grid(const Config& c, void (*body)(void*), void* ctx);
int take_last_error();
const char* status_text(int status);

// `kernel<<<grid, block, shared>>>(args)` is rewritten to `kernel % Config(...)(args)`.
template <class... P, class... A>
void operator%(void (*kernel)(P...), Bound<A...>&& b) {
  struct Ctx {
    void (*k)(P...);
    std::tuple<A...>* args;
  } ctx{kernel, &b.args};
  run_grid(
      b.config,
      [](void* p) {
        auto* c = static_cast<Ctx*>(p);
        std::apply([c](const auto&... x) { c->k(x...); }, *c->args);
      },
      &ctx);
}

// `extern __shared__ T name[];`: the launch's dynamic shared bytes, index-checked.
template <class T>
struct SharedArray {
  T* p;
  size_t n;
  SharedArray() {
    size_t bytes = 0;
    p = reinterpret_cast<T*>(dynamic_shared(bytes));
    n = bytes / sizeof(T);
  }
  template <class I>
  T& operator[](I i) const {
    if (i < 0 || size_t(i) >= n) {
      static T spill;
      fault("dynamic shared memory index out of range", p);
      return spill;
    }
    return p[i];
  }
  operator T*() const { return p; }
};

template <class T>
uint32_t to_bits(T v) {
  static_assert(sizeof(T) == 4);
  uint32_t u;
  std::memcpy(&u, &v, 4);
  return u;
}
template <class T>
T from_bits(uint32_t u) {
  T v;
  std::memcpy(&v, &u, 4);
  return v;
}

}  // namespace kestrune::emu

// The macros below expand inside the kernel sources, whose namespace is renamed.
namespace kestrune_emu = ::kestrune::emu;

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
#define __shared__ static
#define threadIdx (::kestrune_emu::thread_idx())
#define blockIdx (::kestrune_emu::block_idx())
#define blockDim (::kestrune_emu::block_dim())
#define gridDim (::kestrune_emu::grid_dim())

struct alignas(16) float4 {
  float x, y, z, w;
  float4() = default;
  float4(float a, float b, float c, float d) : x(a), y(b), z(c), w(d) {}
  // Vector loads and stores must be 16-byte aligned.
  float4(const float4& o) : x(o.x), y(o.y), z(o.z), w(o.w) { kestrune_emu::check_aligned(&o, 16, "float4 load"); }
  float4& operator=(const float4& o) {
    kestrune_emu::check_aligned(this, 16, "float4 store");
    x = o.x, y = o.y, z = o.z, w = o.w;
    return *this;
  }
};

inline float4 make_float4(float x, float y, float z, float w) { return float4(x, y, z, w); }

inline void __syncthreads() { kestrune_emu::barrier(); }

template <class T>
T __shfl_down_sync(unsigned mask, T v, unsigned delta, int width = 32) {
  return kestrune_emu::from_bits<T>(kestrune_emu::shuffle(mask, kestrune_emu::to_bits(v), 0, delta, width));
}
template <class T>
T __shfl_xor_sync(unsigned mask, T v, int lane_mask, int width = 32) {
  return kestrune_emu::from_bits<T>(kestrune_emu::shuffle(mask, kestrune_emu::to_bits(v), 1, unsigned(lane_mask), width));
}

template <class T>
  requires(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 16)
T __ldg(const T* p) {
  kestrune_emu::check_aligned(p, alignof(T), "__ldg");
  return *p;
}

inline int __dp4a(int a, int b, int c) {
  for (int t = 0; t < 4; ++t) c += int(int8_t(uint32_t(a) >> (8 * t))) * int(int8_t(uint32_t(b) >> (8 * t)));
  return c;
}
inline int __float2int_rn(float x) { return int(std::nearbyint(x)); }
inline float __frcp_rn(float x) { return 1.0f / x; }
inline float __fsqrt_rn(float x) { return std::sqrt(x); }
inline float __uint_as_float(unsigned u) { return kestrune_emu::from_bits<float>(u); }
inline unsigned __float_as_uint(float f) { return kestrune_emu::to_bits(f); }

inline cudaError_t cudaGetLastError() { return cudaError_t(kestrune_emu::take_last_error()); }
inline const char* cudaGetErrorString(cudaError_t e) { return kestrune_emu::status_text(int(e)); }

namespace kestrune::emu {
int device_malloc(void** p, size_t bytes);
int device_free(void* p);
int device_copy(void* dst, const void* src, size_t bytes, int kind);
}  // namespace kestrune::emu

// The runtime's own memory calls, served by the emulated device.
inline cudaError_t cudaMalloc(void** p, size_t bytes) { return cudaError_t(kestrune_emu::device_malloc(p, bytes)); }
inline cudaError_t cudaFree(void* p) { return cudaError_t(kestrune_emu::device_free(p)); }
inline cudaError_t cudaMallocHost(void** p, size_t bytes) { return cudaError_t(kestrune_emu::device_malloc(p, bytes)); }
inline cudaError_t cudaFreeHost(void* p) { return cudaError_t(kestrune_emu::device_free(p)); }
inline cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  return cudaError_t(kestrune_emu::device_copy(dst, src, bytes, int(kind)));
}
inline cudaError_t cudaDeviceSynchronize() { return cudaGetLastError(); }
