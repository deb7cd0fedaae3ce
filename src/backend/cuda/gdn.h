// The GDN mixer on the device: per-layer front states (seeded once from the host state
// and authoritative afterwards), shadow states that hold the later columns of a
// speculative window until it is resolved by swapping buffers, the device chains for
// one, two and three columns, the CPU fallback, and the scan service that runs the
// fallback's recurrence on the same front state. After the first device step of a layer
// its host GdnLayerState keeps the values that seeded the front; a fallback layer keeps
// advancing its convolution history on the host, its recurrent state on the device.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "backend/cpu/gdn.h"
#include "backend/cuda/cuda.h"
#include "common/error.h"
#include "layers/columns.h"
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
  // Scratch, grown to the widest call seen.
  Buffer x_dev, x_pin, xn, qkv, z, conv_out, gates, scan_out, gated, yo, scan_in, scan_pin;
};

// Which state a column of a call reads and writes (0 front, 1 and 2 shadows): column 0
// works on the front in place; in an armed window column c > 0 reads c − 1 and writes c.
struct GdnRoute {
  unsigned read;
  unsigned write;
};
GdnRoute gdn_route(unsigned column, bool armed);

// The mixer over k columns: one, two or three columns as one device call (the columns
// resident when the token residency matches), more one column at a time; layers whose
// projections cannot go to the device run the CPU layer with device products and scan.
Status cuda_gdn_columns(CudaContext& c, const GdnGeometry& g, const GdnWeights& w, uint64_t nonce,
                        GdnLayerState& st, ColumnsOut xs, float* out_norm);

// Opens the device window: later columns of two- and three-column calls go to shadows.
void gdn_spec_arm(CudaContext& c);
// Keeps the state after `depth` accepted drafts: the front (0) or shadow 1 or 2 swapped
// into place for every layer the window wrote. Closes the window even when it fails.
Status gdn_spec_resolve_depth(CudaContext& c, unsigned depth);

// One token's recurrence on the layer's device front (created from `st.recurrent` on
// first use): inputs up in one copy, the scan in place, the output back.
Status gdn_scan_service(CudaContext& c, const GdnGeometry& g, uint64_t nonce, const GdnLayerState& st,
                        const GdnScanIo& io);

}  // namespace kestrune
