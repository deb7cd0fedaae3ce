// The emulated device: host allocations with their extents known, copies checked against
// them, and every launch run twice (threads forward, then reversed) over poisoned outputs.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "backend/cuda/attn_lanes.h"
#include "backend/cuda/gdn_lanes.h"
#include "cuda_runtime.h"
#include "emulator.h"
#include "emulator_internal.h"

int kestrune_emulated_launch(const void* l, const void* a);

namespace kestrune {

namespace {

// cudaMalloc's alignment; new memory holds this NaN until written.
constexpr size_t kAlign = 256;
constexpr uint32_t kPoison = 0x7fc0dead;
constexpr uint8_t kPoisonByte = 0x80;  // -128: never a quantized activation

struct Heap {
  std::mutex mu;
  std::map<uintptr_t, size_t> blocks;
};

Heap& heap() {
  static Heap h;
  return h;
}

// The allocation holding [p, p + bytes), if any.
bool inside(const void* p, size_t bytes) {
  const auto& b = heap().blocks;
  const auto u = reinterpret_cast<uintptr_t>(p);
  auto it = b.upper_bound(u);
  if (it == b.begin()) return false;
  --it;
  return u + bytes <= it->first + it->second;
}

struct Output {
  void* p;
  size_t bytes;
  bool poison;     // written in full by the kernel, so poisoned before it runs
  bool bytewise;   // int8 elements
};

// What each kernel writes. Read-modify-write outputs are compared but not poisoned.
std::vector<Output> outputs(const Launch& l, const KernelArgs& a) {
  const size_t f = sizeof(float), g = l.grid;
  switch (l.kernel) {
    case Kernel::MatvecQ8_0:
    case Kernel::MvWide:
    case Kernel::MvSplit4:
      return {{a.y0, f * size_t(a.rows), !l.accumulate, false}};
    case Kernel::MvWideX8:
    case Kernel::MvSplit2X8:
    case Kernel::MvSplit4X8:
      return {{a.y0, f * size_t(a.rows), true, false}};
    case Kernel::MvWideN2:
    case Kernel::MvSplit4N2:
      return {{a.y0, 2 * f * size_t(a.rows), true, false}};
    case Kernel::MvWideN3:
    case Kernel::MvSplit4N3:
      return {{a.y0, 3 * f * size_t(a.rows), true, false}};
    case Kernel::MvDualWide:
      return {{a.y0, f * size_t(a.rows), true, false}, {a.y1, f * size_t(a.rows), true, false}};
    case Kernel::MvDual2Wide:
      return {{a.y0, f * size_t(a.rows), true, false}, {a.y1, f * size_t(a.rows1), true, false}};
    case Kernel::QuantizeXQ8:
      return {{a.xq, size_t(a.n), true, true}, {a.xs, f * ((size_t(a.n) + 31) / 32), true, false}};
    case Kernel::RmsNorm:
      return {{a.y0, f * size_t(a.n), true, false}};
    case Kernel::SiluMul:
    case Kernel::AddInplace:
      return {{a.y0, f * size_t(a.n), false, false}};
    default:
      break;
  }
  if (a.ext == nullptr) return {};
  if (l.kernel >= Kernel::GdnConvScaled && l.kernel <= Kernel::GatedNormSilu) {
    const auto& o = *static_cast<const GdnKernelArgs*>(a.ext);
    const size_t d = size_t(o.d);
    switch (l.kernel) {
      case Kernel::GdnConvScaled: {
        const size_t hist = f * size_t(o.K - 1) * size_t(o.channels);
        return {{o.conv_out, f * size_t(o.channels), true, false},
                {o.state_out, hist, o.state_out != o.state_in, false}};
      }
      case Kernel::GdnAbGates:
        return {{o.decay, f * g, true, false}, {o.beta, f * g, true, false}};
      case Kernel::GdnScan:
      case Kernel::GdnScanWide:
        return {{o.out, f * g * d, true, false}, {o.state_out, f * g * d * d, o.state_out != o.state_in, false}};
      default:
        return {{o.gated, f * g * d, true, false}};
    }
  }
  const auto& o = *static_cast<const AttnOperands*>(a.ext);
  const size_t hd = size_t(o.head_dim);
  switch (l.kernel) {
    case Kernel::AttnQPrep:
      return {{o.q_out, f * g * hd, true, false}};
    case Kernel::AttnKvAppend: {
      const size_t at = size_t(o.pos) * size_t(o.kv_dim);
      return {{o.k_cache + at, f * g * hd, true, false}, {o.v_cache + at, f * g * hd, true, false}};
    }
    case Kernel::AttnCore:
      return {{o.out, f * g * hd, true, false}, {o.scores, f * g * size_t(o.n_pos), true, false}};
    case Kernel::AttnSplit:
      return {{o.scores, f * g * size_t(o.n_split) * (hd + 2), true, false}};
    case Kernel::AttnCombine:
      return {{o.out, f * g * hd, true, false}};
    default:
      return {};
  }
}

void poison(const Output& o) {
  if (o.bytewise) {
    std::memset(o.p, kPoisonByte, o.bytes);
    return;
  }
  auto* u = static_cast<uint32_t*>(o.p);
  for (size_t i = 0; i < o.bytes / 4; ++i) u[i] = kPoison;
}

// The first element still holding the poison, or -1.
long unwritten(const Output& o) {
  if (o.bytewise) {
    const auto* b = static_cast<const uint8_t*>(o.p);
    for (size_t i = 0; i < o.bytes; ++i) {
      if (b[i] == kPoisonByte) return long(i);
    }
    return -1;
  }
  for (size_t i = 0; i < o.bytes / 4; ++i) {
    uint32_t u;
    std::memcpy(&u, static_cast<const char*>(o.p) + 4 * i, 4);
    if (u == kPoison) return long(i);
  }
  return -1;
}

constexpr int kEmulatorFault = 719;
constexpr int kInjectedFault = 700;
std::string g_text;  // the text behind kEmulatorFault

int fail(const std::string& what) {
  testing::emulated().last_fault = "emulator: " + what;
  g_text = testing::emulated().last_fault;
  return kEmulatorFault;
}
int fail(const Launch& l, const std::string& what) { return fail(std::string(kernel_name(l.kernel)) + ": " + what); }

// Every live allocation, for kernels without an output table: compared whole.
std::vector<Output> whole_heap() {
  std::vector<Output> v;
  for (const auto& [p, n] : heap().blocks) v.push_back({reinterpret_cast<void*>(p), n, false, false});
  return v;
}

int launch(const Launch& l, const KernelArgs& a) {
  std::lock_guard<std::mutex> lock(heap().mu);
  testing::fake().launched.push_back(l);
  ++testing::fake().launches;
  std::vector<Output> outs = outputs(l, a);
  if (outs.empty()) outs = whole_heap();
  for (const Output& o : outs) {
    if (!inside(o.p, o.bytes)) return fail(l, "an output lies outside every device allocation");
  }
  std::vector<std::vector<char>> before, forward;
  for (const Output& o : outs) before.emplace_back(static_cast<char*>(o.p), static_cast<char*>(o.p) + o.bytes);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < outs.size(); ++i) {
      std::memcpy(outs[i].p, before[i].data(), outs[i].bytes);
      if (outs[i].poison) poison(outs[i]);
    }
    emu::g_reverse = pass == 1;
    const int status = kestrune_emulated_launch(&l, &a);
    emu::g_reverse = false;
    if (status != 0) {
      // The scheduler's own faults name the kernel function already.
      const bool own = status == kEmulatorFault || status == cudaErrorInvalidConfiguration;
      return own ? fail(emu::last_fault_text()) : fail(l, emu::status_text(status));
    }
    for (size_t i = 0; i < outs.size(); ++i) {
      if (pass == 0) {
        const long at = outs[i].poison ? unwritten(outs[i]) : -1;
        if (at >= 0) return fail(l, "output " + std::to_string(i) + " element " + std::to_string(at) + " not written");
        forward.emplace_back(static_cast<char*>(outs[i].p), static_cast<char*>(outs[i].p) + outs[i].bytes);
      } else if (std::memcmp(outs[i].p, forward[i].data(), outs[i].bytes) != 0) {
        size_t at = 0;
        while (static_cast<char*>(outs[i].p)[at] == forward[i][at]) ++at;
        return fail(l, "output " + std::to_string(i) + " differs at byte " + std::to_string(at) +
                           " when threads run in reverse order");
      }
    }
  }
  return 0;
}

int alloc(void** p, size_t bytes) {
  std::lock_guard<std::mutex> lock(heap().mu);
  if (testing::fake().mallocs == testing::fake().fail_malloc_at) {
    ++testing::fake().mallocs;
    return cudaErrorMemoryAllocation;
  }
  return emu::device_malloc(p, bytes);
}
int release(void* p) {
  std::lock_guard<std::mutex> lock(heap().mu);
  return emu::device_free(p);
}
int copy(void* dst, const void* src, size_t bytes, CopyKind kind) {
  std::lock_guard<std::mutex> lock(heap().mu);
  const int k = kind == CopyKind::HostToDevice ? 1 : kind == CopyKind::DeviceToHost ? 2 : 3;
  if (testing::fake().copies == testing::fake().fail_copy_at) {
    ++testing::fake().copies;
    return kInjectedFault;
  }
  testing::fake().to_device += k == 1;
  testing::fake().to_host += k == 2;
  return emu::device_copy(dst, src, bytes, k);
}
const char* text(int status) { return emu::status_text(status); }

}  // namespace

namespace emu {

size_t shared_limit() { return testing::emulated().shared_limit; }

int device_malloc(void** p, size_t bytes) {
  void* m = ::operator new(bytes ? bytes : 1, std::align_val_t(kAlign), std::nothrow);
  if (!m) return cudaErrorMemoryAllocation;
  for (size_t i = 0; i + 4 <= bytes; i += 4) std::memcpy(static_cast<char*>(m) + i, &kPoison, 4);
  heap().blocks[reinterpret_cast<uintptr_t>(m)] = bytes;
  ++testing::fake().mallocs;
  ++testing::fake().live;
  *p = m;
  return 0;
}

int device_free(void* p) {
  if (!p) return 0;
  auto it = heap().blocks.find(reinterpret_cast<uintptr_t>(p));
  if (it == heap().blocks.end()) return cudaErrorInvalidValue;
  ++testing::fake().frees;
  --testing::fake().live;
  heap().blocks.erase(it);
  ::operator delete(p, std::align_val_t(kAlign));
  return 0;
}

int device_copy(void* dst, const void* src, size_t bytes, int kind) {
  ++testing::fake().copies;
  const bool dst_dev = kind == 1 || kind == 3, src_dev = kind == 2 || kind == 3;
  if ((dst_dev && !inside(dst, bytes)) || (src_dev && !inside(src, bytes))) return cudaErrorInvalidValue;
  if (bytes) std::memmove(dst, src, bytes);
  return 0;
}

const char* status_text(int status) {
  switch (status) {
    case 0:
      return "no error";
    case cudaErrorInvalidValue:
      return "invalid argument";
    case cudaErrorMemoryAllocation:
      return "out of memory";
    case kInjectedFault:
      return "an illegal memory access was encountered";
    case cudaErrorInvalidConfiguration:
    case kEmulatorFault:
      return g_text.empty() ? last_fault_text().c_str() : g_text.c_str();
    default:
      return "unknown error";
  }
}

}  // namespace emu

namespace testing {

EmulatedDevice& emulated() {
  static EmulatedDevice d;
  return d;
}

const DeviceApi& emulated_api() {
  fake() = FakeDevice{};
  emulated().last_fault.clear();
  static const DeviceApi api{alloc, release, alloc, release, copy, launch, text, nullptr};
  return api;
}

}  // namespace testing

}  // namespace kestrune
