#include "backend/cpu/spec_window.h"

namespace kestrune {

Status spec_before_gdn_step(CpuSpecState& spec, uint64_t nonce, GdnLayerState& st, bool snapshot) {
  std::lock_guard<std::mutex> lock(spec.mu);
  auto it = spec.pending.find(nonce);
  if (it != spec.pending.end()) {
    GdnSnapshot snap = std::move(it->second);
    spec.pending.erase(it);
    if (snap.conv.size() != st.conv.size() || snap.recurrent.size() != st.recurrent.size()) {
      return invalid_data("gdn_mixer: pending snapshot does not fit the layer state");
    }
    st.conv = std::move(snap.conv);
    st.recurrent = std::move(snap.recurrent);
  }
  if (snapshot && spec.armed) spec.snapshots[nonce].push_back({st.conv, st.recurrent});
  return {};
}

void spec_snapshot(CpuSpecState& spec, uint64_t nonce, const GdnLayerState& st) {
  std::lock_guard<std::mutex> lock(spec.mu);
  if (spec.armed) spec.snapshots[nonce].push_back({st.conv, st.recurrent});
}

void spec_arm_cpu(CpuSpecState& spec) {
  std::lock_guard<std::mutex> lock(spec.mu);
  spec.armed = true;
}

Status spec_resolve_cpu(CpuSpecState& spec, unsigned accepted) {
  std::lock_guard<std::mutex> lock(spec.mu);
  if (!spec.armed) return invalid_data("spec_resolve without an armed window");
  if (accepted > 2) return invalid_data("spec_resolve_depth: depth beyond 2");
  spec.armed = false;
  for (auto& [nonce, list] : spec.snapshots) {
    if (list.size() > accepted) spec.pending[nonce] = std::move(list[accepted]);
  }
  spec.snapshots.clear();
  return {};
}

}  // namespace kestrune
