// The CUDA runtime behind the backend's call table (built only with KESTRUNE_CUDA).
#include <cuda_runtime.h>

#include "backend/cuda/kernels/launch.h"
#include "backend/cuda/runtime.h"

namespace kestrune {

namespace {

int malloc_device(void** p, size_t bytes) { return int(cudaMalloc(p, bytes)); }
int free_device(void* p) { return int(cudaFree(p)); }
int malloc_pinned(void** p, size_t bytes) { return int(cudaMallocHost(p, bytes)); }
int free_pinned(void* p) { return int(cudaFreeHost(p)); }

int copy(void* dst, const void* src, size_t bytes, CopyKind kind) {
  const cudaMemcpyKind k = kind == CopyKind::HostToDevice   ? cudaMemcpyHostToDevice
                           : kind == CopyKind::DeviceToHost ? cudaMemcpyDeviceToHost
                                                            : cudaMemcpyDeviceToDevice;
  return int(cudaMemcpy(dst, src, bytes, k));
}

const char* error_string(int status) { return cudaGetErrorString(cudaError_t(status)); }

int synchronize() { return int(cudaDeviceSynchronize()); }

const DeviceApi kApi{malloc_device, free_device, malloc_pinned, free_pinned, copy, launch_kernel, error_string, nullptr};
const DeviceApi kSyncApi{malloc_device, free_device, malloc_pinned, free_pinned, copy, launch_kernel, error_string,
                         synchronize};

}  // namespace

int launch_kernel(const Launch& l, const KernelArgs& a) {
  switch (l.kernel) {
    case Kernel::MvWide:
    case Kernel::MvSplit4:
    case Kernel::MvDualWide:
      return launch_kquant(l, a);
    case Kernel::MvWideN2:
    case Kernel::MvSplit4N2:
    case Kernel::MvWideN3:
    case Kernel::MvSplit4N3:
      return launch_multi(l, a);
    case Kernel::MvDual2Wide:
      return launch_dual2(l, a);
    case Kernel::MvWideX8:
    case Kernel::MvSplit2X8:
    case Kernel::MvSplit4X8:
      return launch_x8(l, a);
    case Kernel::GdnConvScaled:
    case Kernel::GdnAbGates:
    case Kernel::GdnScan:
    case Kernel::GdnScanWide:
    case Kernel::GatedNormSilu:
      return launch_gdn(l, a);
    case Kernel::AttnQPrep:
    case Kernel::AttnKvAppend:
    case Kernel::AttnCore:
    case Kernel::AttnSplit:
    case Kernel::AttnCombine:
      return launch_attn(l, a);
    default:
      return launch_q8_and_small(l, a);
  }
}

const DeviceApi& cuda_runtime_api(bool sync_launches) { return sync_launches ? kSyncApi : kApi; }
bool cuda_runtime_built() { return true; }

}  // namespace kestrune
