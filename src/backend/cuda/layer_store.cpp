#include "backend/cuda/layer_store.h"

#include <utility>

namespace kestrune {

void forget_layers(LayerStore& store, std::span<const uint64_t> nonces) {
  // Entries are destroyed outside the lock: freeing device memory may take a while.
  std::vector<std::shared_ptr<AttnLayerDevice>> attn;
  std::vector<std::shared_ptr<GdnLayerDevice>> gdn;
  {
    std::lock_guard<std::mutex> lock(store.mu);
    for (uint64_t n : nonces) {
      if (auto it = store.attn.find(n); it != store.attn.end()) {
        attn.push_back(std::move(it->second));
        store.attn.erase(it);
      }
      if (auto it = store.gdn.find(n); it != store.gdn.end()) {
        gdn.push_back(std::move(it->second));
        store.gdn.erase(it);
      }
    }
  }
}

namespace {
struct LayerLease {
  std::weak_ptr<LayerStore> store;
  std::vector<uint64_t> nonces;
  LayerLease(std::weak_ptr<LayerStore> s, std::vector<uint64_t> n) : store(std::move(s)), nonces(std::move(n)) {}
  LayerLease(const LayerLease&) = delete;
  LayerLease& operator=(const LayerLease&) = delete;
  ~LayerLease() {
    if (auto s = store.lock()) forget_layers(*s, nonces);
  }
};
}  // namespace

std::shared_ptr<const void> lease_layers(const std::shared_ptr<LayerStore>& store, std::vector<uint64_t> nonces) {
  return std::make_shared<const LayerLease>(store, std::move(nonces));
}

}  // namespace kestrune
