// A device whose kernels are the real kernel sources run on the host's block emulator.
// Every launch runs twice, threads scheduled forward then in reverse, and must give the
// same bytes; outputs are poisoned first and must be written in full.
#pragma once

#include <cstddef>
#include <string>

#include "backend/cuda/runtime.h"

namespace kestrune::testing {

struct EmulatedDevice {
  int mallocs = 0, frees = 0, launches = 0, copies = 0;
  long live = 0;          // allocations not yet freed
  size_t live_bytes = 0;  // their bytes
  std::string last_fault;  // the latest launch failure, naming the kernel
  size_t shared_limit = 48 * 1024;
};

EmulatedDevice& emulated();

// The counters reset; the device's memory is untouched.
const DeviceApi& emulated_api();

}  // namespace kestrune::testing
