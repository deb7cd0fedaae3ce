// A build without CUDA: every device call fails with one status.
#include "backend/cuda/runtime.h"

namespace kestrune {

namespace {

constexpr int kNoRuntime = 35;

int malloc_device(void**, size_t) { return kNoRuntime; }
int free_device(void*) { return 0; }
int copy(void*, const void*, size_t, CopyKind) { return kNoRuntime; }
int launch(const Launch&, const KernelArgs&) { return kNoRuntime; }
const char* error_string(int) { return "this build has no CUDA runtime"; }

const DeviceApi kApi{malloc_device, free_device, malloc_device, free_device, copy, launch, error_string, nullptr};

}  // namespace

const DeviceApi& cuda_runtime_api(bool) { return kApi; }
bool cuda_runtime_built() { return false; }

}  // namespace kestrune
