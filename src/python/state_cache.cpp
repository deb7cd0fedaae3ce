#include "python/state_cache.h"

#include <algorithm>
#include <variant>

namespace kestrune {

namespace {

bool is_prefix(std::span<const uint32_t> prefix, std::span<const uint32_t> of) {
  return prefix.size() <= of.size() && std::equal(prefix.begin(), prefix.end(), of.begin());
}

uint64_t floats(const std::vector<float>& v) { return v.size() * sizeof(float); }

}  // namespace

uint64_t state_bytes(const DecodeState& state, size_t tokens) {
  uint64_t total = floats(state.hidden) + tokens * sizeof(uint32_t);
  for (const LayerState& layer : state.layers) {
    if (const auto* kv = std::get_if<KvCache>(&layer.data)) {
      total += floats(kv->k) + floats(kv->v);
    } else {
      const auto& gdn = std::get<GdnLayerState>(layer.data);
      total += floats(gdn.conv) + floats(gdn.recurrent);
    }
  }
  if (state.draft_cache) total += floats(state.draft_cache->k) + floats(state.draft_cache->v);
  return total;
}

std::optional<CachedState> checkout_state(StateCache& cache, std::span<const uint32_t> tokens) {
  std::lock_guard lock(cache.mutex);
  auto best = cache.entries.end();
  for (auto it = cache.entries.begin(); it != cache.entries.end(); ++it) {
    if (it->tokens.size() < tokens.size() && is_prefix(it->tokens, tokens) &&
        (best == cache.entries.end() || it->tokens.size() > best->tokens.size())) {
      best = it;
    }
  }
  if (best == cache.entries.end()) return std::nullopt;
  CachedState out = std::move(*best);
  cache.entries.erase(best);
  return out;
}

void checkin_state(StateCache& cache, CachedState entry) {
  entry.bytes = state_bytes(entry.state, entry.tokens.size());
  std::vector<CachedState> dropped;  // freed after the lock is released
  std::lock_guard lock(cache.mutex);
  entry.last_use = ++cache.clock;
  auto same = std::find_if(cache.entries.begin(), cache.entries.end(),
                           [&](const CachedState& e) { return e.tokens == entry.tokens; });
  if (same != cache.entries.end()) {
    dropped.push_back(std::move(*same));
    cache.entries.erase(same);
  }
  cache.entries.push_back(std::move(entry));
  auto total = [&] {
    uint64_t sum = 0;
    for (const CachedState& e : cache.entries) sum += e.bytes;
    return sum;
  };
  while (!cache.entries.empty() &&
         (cache.entries.size() > cache.limits.max_states || total() > cache.limits.max_bytes)) {
    auto oldest = std::min_element(cache.entries.begin(), cache.entries.end(),
                                   [](const CachedState& a, const CachedState& b) { return a.last_use < b.last_use; });
    dropped.push_back(std::move(*oldest));
    cache.entries.erase(oldest);
  }
}

}  // namespace kestrune
