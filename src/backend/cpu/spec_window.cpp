#include "backend/cpu/spec_window.h"


namespace kestrune {

Status spec_before_gdn_step(CpuSpecState& window, uint64_t nonce, GdnLayerState& st, bool snapshot) {
  std::lock_guard<std::mutex> lock(window.mu);
  auto it = window.pending.find(nonce);
  if (it != window.pending.end()) {
    GdnSnapshot snap = std::move(it->second);
    window.pending.erase(it);
    if (snap.conv.size() != st.conv.size() || snap.recurrent.size() != st.recurrent.size()) {
      return invalid_data("gdn_mixer: pending snapshot does not fit the layer state");
    }
    st.conv = std::move(snap.conv);
    st.recurrent = std::move(snap.recurrent);
  }
  if (snapshot && window.armed) window.snapshots[nonce].push_back({st.conv, st.recurrent});
  return {};
}

bool spec_window_armed(CpuSpecState& window) {
  std::lock_guard<std::mutex> lock(window.mu);
  return window.armed;
}

void spec_snapshot_conv(CpuSpecState& window, uint64_t nonce, const std::vector<float>& conv) {
  std::lock_guard<std::mutex> lock(window.mu);
  if (window.armed) window.snapshots[nonce].push_back({conv, {}});
}

void spec_snapshot_recurrent(CpuSpecState& window, uint64_t nonce, size_t from_end,
                             const std::vector<float>& recurrent) {
  std::lock_guard<std::mutex> lock(window.mu);
  if (!window.armed) return;
  auto& list = window.snapshots[nonce];
  if (from_end < list.size()) list[list.size() - 1 - from_end].recurrent = recurrent;
}

void spec_arm_cpu(CpuSpecState& window) {
  std::lock_guard<std::mutex> lock(window.mu);
  window.armed = true;
  // A round that failed before resolving leaves its snapshots; they must not shift the
  // column indices of this window.
  window.snapshots.clear();
}

namespace {

// Under the lock: snapshot `keep` of every list long enough becomes the layer's pending
// restore (replacing an older one); every list is dropped.
void close_window(CpuSpecState& window, size_t keep) {
  window.armed = false;
  for (auto& [nonce, list] : window.snapshots) {
    if (list.size() > keep) window.pending[nonce] = std::move(list[keep]);
  }
  window.snapshots.clear();
}

}  // namespace

Status spec_resolve_cpu(CpuSpecState& window, unsigned accepted) {
  std::lock_guard<std::mutex> lock(window.mu);
  if (!window.armed) return invalid_data("spec_resolve without an armed window");
  if (accepted > 2) return invalid_data("spec_resolve_depth: depth beyond 2");
  close_window(window, accepted);
  return {};
}

}  // namespace kestrune
