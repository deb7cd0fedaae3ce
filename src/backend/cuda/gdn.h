// GDN state on the device: per-layer front states (seeded once from the host state and
// authoritative afterwards) and shadow states that hold the later columns of a
// speculative window until it is resolved by swapping buffers.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/geometry.h"
#include "layers/state.h"
#include "layers/weights.h"

namespace kestrune {

// One GDN layer of one decode state on the device, behind its own lock.
struct GdnLayerDevice {
  explicit GdnLayerDevice(const DeviceApi* api);

  std::mutex mu;
  // The states: 0 the front, 1 and 2 the shadows of a window's later columns.
  Buffer recurrent[3];
  Buffer conv[3];
};

// Which state a column of a call reads and writes (0 front, 1 and 2 shadows): column 0
// works on the front in place; in an armed window column c > 0 reads c − 1 and writes c.
struct GdnRoute {
  unsigned read;
  unsigned write;
};
GdnRoute gdn_route(unsigned column, bool armed);

// Opens the device window: later columns of two- and three-column calls go to shadows.
void gdn_spec_arm(CudaContext& c);
// Keeps the state after `depth` accepted drafts: the front (0) or shadow 1 or 2 swapped
// into place for every layer the window wrote. Closes the window even when it fails.
Status gdn_spec_resolve_depth(CudaContext& c, unsigned depth);

}  // namespace kestrune
