// Attention on the device: a per-layer key/value cache in device memory, seeded once
// from the layer's host cache.
#pragma once

#include <cstdint>
#include <mutex>

#include "backend/cuda/cuda.h"

namespace kestrune {

// One layer's device data, keyed by its nonce in the layer store. Once created the
// device cache is the layer's cache: the host cache is read only to seed it.
struct AttnLayerDevice {
  std::mutex mu;
  bool seeded = false;
  uint64_t filled = 0;  // positions below this hold keys and values
  Buffer k, v;          // position-major rows of kv_dim floats
  // The scores (or the split kernel's partials), grown with the cache's capacity so
  // that a new position allocates nothing.
  Buffer scores;

  explicit AttnLayerDevice(const DeviceApi* api);
};

}  // namespace kestrune
