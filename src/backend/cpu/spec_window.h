// The reference backend's speculative window: GDN states snapshotted while a verify
// pass runs, and restored lazily at the layer's next step after a rejection.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "layers/state.h"

namespace kestrune {

struct GdnSnapshot {
  std::vector<float> conv;
  std::vector<float> recurrent;
};

// Shared by every decode state of one model, keyed by layer nonce.
struct CpuSpecState {
  std::mutex mu;
  bool armed = false;
  std::unordered_map<uint64_t, std::vector<GdnSnapshot>> snapshots;  // column order
  std::unordered_map<uint64_t, GdnSnapshot> pending;                 // restore before next step
};

// Applies a pending restore for the layer, then, when `snapshot` is set and the window
// is armed, records the (restored) state. One lock for both.
Status spec_before_gdn_step(CpuSpecState& window, uint64_t nonce, GdnLayerState& st, bool snapshot);
// Whether a verify pass is recording snapshots.
bool spec_window_armed(CpuSpecState& window);
// Records the state after a column when the window is armed, in two parts since the
// convolution and the recurrence advance in separate operations: the conv history opens
// a new snapshot; the recurrent state completes the snapshot `from_end` places before
// the newest.
void spec_snapshot_conv(CpuSpecState& window, uint64_t nonce, const std::vector<float>& conv);
void spec_snapshot_recurrent(CpuSpecState& window, uint64_t nonce, size_t from_end,
                             const std::vector<float>& recurrent);

// Opens the window (dropping snapshots of a window that was never resolved).
void spec_arm_cpu(CpuSpecState& window);
// Closes the window keeping the state after `accepted` columns (0, 1 or 2): layers whose
// list holds a snapshot at that index get it as their pending restore. A depth-1 round
// holds one snapshot per layer, so accepting its draft keeps every layer as it is.
Status spec_resolve_cpu(CpuSpecState& window, unsigned accepted);

}  // namespace kestrune
