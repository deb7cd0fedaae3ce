// Device data that belongs to one layer of one decode state (key/value caches, GDN
// states and their shadows, per-layer scratch), keyed by the layer's nonce. A decode
// state holds a lease on its keys; dropping the state erases their entries, so device
// memory does not grow with every generation.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

namespace kestrune {

// Defined with the mixers that own them; the store only holds and drops them.
struct AttnLayerDevice;
struct GdnLayerDevice;

struct LayerStore {
  std::mutex mu;
  std::unordered_map<uint64_t, std::shared_ptr<AttnLayerDevice>> attn;
  std::unordered_map<uint64_t, std::shared_ptr<GdnLayerDevice>> gdn;
};

// Erases every entry of `nonces`. An operation still running on an entry keeps it alive
// through its own shared_ptr until it returns.
void forget_layers(LayerStore& store, std::span<const uint64_t> nonces);

// A token whose destruction forgets `nonces`; it does nothing once the store is gone.
std::shared_ptr<const void> lease_layers(const std::shared_ptr<LayerStore>& store, std::vector<uint64_t> nonces);

}  // namespace kestrune
