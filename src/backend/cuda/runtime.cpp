#include "backend/cuda/runtime.h"

#include <algorithm>
#include <utility>

#include "common/format.h"

namespace kestrune {

std::string cuda_error_message(std::string_view label, std::string_view text, int status) {
  return format("cuda: {}: {} (code {})", std::string(label), std::string(text), status);
}

Status check_cuda(const DeviceApi& api, int status, std::string_view label) {
  if (status == 0) return {};
  const char* text = api.error_string(status);
  return Error{ErrorKind::Os, cuda_error_message(label, text ? text : "unknown error", status)};
}

Status launch_checked(const DeviceApi& api, const Launch& l, const KernelArgs& a, std::string_view label) {
  KS_CHECK(check_cuda(api, api.launch(l, a), label));
  if (api.synchronize == nullptr) return {};
  return check_cuda(api, api.synchronize(), format("{} ({})", std::string(label), kernel_name(l.kernel)));
}

Buffer& Buffer::operator=(Buffer&& o) noexcept {
  if (this != &o) {
    release();
    api = o.api;
    space = o.space;
    ptr = std::exchange(o.ptr, nullptr);
    capacity = std::exchange(o.capacity, 0);
  }
  return *this;
}

void Buffer::release() {
  if (ptr) (space == Device ? api->free_device : api->free_pinned)(ptr);
  ptr = nullptr;
  capacity = 0;
}

namespace {

Status ensure(Buffer& b, size_t bytes) {
  if (b.ptr && b.capacity >= bytes) return {};
  const bool dev = b.space == Buffer::Device;
  void* p = nullptr;
  KS_CHECK(check_cuda(*b.api, (dev ? b.api->malloc_device : b.api->malloc_pinned)(&p, bytes),
                      dev ? "cudaMalloc" : "cudaMallocHost"));
  b.release();
  b.ptr = p;
  b.capacity = bytes;
  return {};
}

}  // namespace

Status ensure_device(Buffer& b, size_t bytes) { return ensure(b, bytes); }
Status ensure_pinned(Buffer& b, size_t bytes) { return ensure(b, bytes); }

Status grow_preserving(Buffer& b, size_t bytes) {
  if (b.ptr && b.capacity >= bytes) return {};
  const size_t want = std::max(bytes, 2 * b.capacity);
  Buffer fresh(b.api, Buffer::Device);
  KS_CHECK(ensure_device(fresh, want));
  if (b.ptr) {
    KS_CHECK(copy_checked(*b.api, fresh.ptr, b.ptr, b.capacity, CopyKind::DeviceToDevice, "cudaMemcpy D2D (grow)"));
  }
  b = std::move(fresh);
  return {};
}

Status copy_checked(const DeviceApi& api, void* dst, const void* src, size_t bytes, CopyKind kind,
                    std::string_view label) {
  return check_cuda(api, api.copy(dst, src, bytes, kind), label);
}

}  // namespace kestrune
