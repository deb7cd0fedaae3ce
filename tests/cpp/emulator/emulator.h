// A device whose kernels are the real kernel sources run on the host's block emulator.
// Every launch runs twice, threads scheduled forward then in reverse, and must give the
// same bytes; outputs are poisoned first and must be written in full.
#pragma once

#include <cstddef>
#include <string>

#include "backend/cuda/runtime.h"
#include "fake_device.h"

namespace kestrune::testing {

// Counts and failure injections are fake()'s, so that a test reads either device alike.
struct EmulatedDevice {
  std::string last_fault;  // the latest launch failure, naming the kernel
  size_t shared_limit = 48 * 1024;
};

EmulatedDevice& emulated();

// fake()'s counters reset; the device's memory is untouched.
const DeviceApi& emulated_api();

// The devices the backend's tests run over: the host twins, and the real kernels.
struct TestDevice {
  const char* name;
  const DeviceApi& (*api)();
};
inline constexpr TestDevice kTestDevices[] = {{"host twins", fake_api}, {"emulated kernels", emulated_api}};

}  // namespace kestrune::testing
