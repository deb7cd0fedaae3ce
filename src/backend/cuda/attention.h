// The attention mixer on the device for one, two or three consecutive positions: a
// per-layer key/value cache in device memory, seeded once from the layer's host cache.
#pragma once

#include <cstdint>
#include <mutex>

#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// One layer's device data, keyed by its nonce in the layer store. Once created the
// device cache is the layer's cache: the host cache is read only to seed it.
struct AttnLayerDevice {
  std::mutex mu;
  bool seeded = false;
  uint64_t filled = 0;  // positions below this hold keys and values
  Buffer k, v;          // position-major rows of kv_dim floats
  // Scratch shared by the three widths, grown to fit; the scores (or the split kernel's
  // partials) to the cache's capacity, so that a new position allocates nothing.
  Buffer x_dev, x_pin, xn, qg, q, keys, values, scores, att, y;

  explicit AttnLayerDevice(const DeviceApi* api);
};

// Whether the four projections can run on the device.
bool attn_device_eligible(const AttnWeights& w);

// x += the attention of every column, column j at pos + j (1 to 3 columns), on the
// device. The weights must be eligible. Columns are read from the token residency when
// it matches them, else staged; `stage_only` forces staging.
Status attn_mixer_device(CudaContext& c, const AttentionGeometry& g, const AttnWeights& w, uint32_t pos,
                         uint64_t nonce, const KvCache& kv, ColumnsOut xs, bool stage_only = false);

}  // namespace kestrune
